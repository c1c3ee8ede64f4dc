// Digitizer open and close: one instance at a time, whose storage is the record of the camera
// the component was registered for.
#include "vdig/vdig.h"

#include "platform/memory.h"
#include "usb/camera_record.h"

#include <qorvanta/stream.h>
#include <qorvanta/usb.h>

#include <cstdlib>

namespace {

constexpr uint32_t kTimeScale = 10000;

// Frame rate and period of the window the open left, and the source rectangles of the sensor.
void setOpenDefaults(CameraRecord &r) {
    r.timeScale = kTimeScale;
    r.frameSlotBlock = nullptr;
    for (uint8_t *&slot : r.frameSlots) slot = nullptr;
    qor::vdig::setFrameTiming(r, uint32_t(r.imageWidth / r.subSampleX) *
                                     uint32_t(r.imageHeight / r.subSampleY));
    Rect sensor{0, 0, int16_t(r.maxHeight), int16_t(r.maxWidth)};
    r.digitizerRect = r.maxSrcRect = r.activeSrcRect = sensor;
}

} // namespace

ComponentResult vdigOpen(ComponentInstance self) {
    if (CountComponentInstances(componentOf(self)) > 1) return -1;
    auto *info = reinterpret_cast<CameraComponentInfo *>(GetComponentRefcon(componentOf(self)));
    if (!info) return -2;
    CameraHandle camera = newCameraHandle();
    if (!camera) return 1;
    CameraRecord &r = *cameraRecord(camera);
    r.timeCodeSupported = qor::vdig::timeCodeSupportedByQuickTime();
    r.vdigSelf = self;
    int32_t result = QORUSBOpenCamera(info->vendorID, info->productID, info->name, camera);
    if (result == 0) setOpenDefaults(r);
    // Installed also when the camera could not be opened, so that close disposes it.
    SetComponentInstanceStorage(self, camera);
    return result == 0 ? 0 : 1;
}

ComponentResult vdigClose(Handle storage, ComponentInstance) {
    CameraRecord *r = cameraRecord(storage);
    if (!r) return 0;
    // A streaming thread that did not end in time still uses the record, the ring and the
    // camera: they are left to it rather than freed under it.
    if (int32_t error = QORACameraStopVideo(storage, 1)) return error;
    atomicField(r->lastFrameMs).store(-1.0);
    atomicField(r->lastFilledSlot).store(kNoSlot);
    atomicField(r->writeSlot).store(0);
    atomicField(r->framesWanted).store(0);
    atomicField(r->framesReady).store(0);
    atomicField(r->readSlot).store(kNoSlot);
    for (uint8_t *&slot : r->frameSlots) slot = nullptr;
    std::free(r->frameSlotBlock);
    r->frameSlotBlock = nullptr;
    if (r->imageDescription) {
        DisposeHandle(reinterpret_cast<Handle>(r->imageDescription));
        r->imageDescription = nullptr;
    }
    QORUSBCloseCamera(storage);
    r->dataRateCount = 0;
    std::free(r->dataRateTable);
    r->dataRateTable = nullptr;
    DisposeHandle(storage);
    return 0;
}
