// Compression types, settings and timing: the digitizer delivers uncompressed 'raw ' pixels only
// (32-bit ARGB from colour sensors, 8-bit grey with a colour table from monochrome ones), so
// set-compression is where the programmed window becomes a raw-frame geometry, a data rate, a
// frame rate, the ten-slot frame ring and the image description.
#include "vdig/vdig.h"

#include "platform/corefoundation.h"
#include "platform/memory.h"
#include "usb/camera_record.h"

#include <qorvanta/camera.h>
#include <qorvanta/status.h>
#include <qorvanta/stream.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

using qor::vdig::commonGuard;

constexpr OSType kRawCodec = fourCharCode("raw ");
constexpr OSType kAppleVendor = fourCharCode("appl");
constexpr unsigned char kCodecName[] = "\rQorvanta None";
constexpr int32_t codecInfoDepth8 = 0x08;
constexpr int32_t codecInfoDepth32 = 0x20;
constexpr CodecQ codecLosslessQuality = 0x400;
constexpr Fixed kSeventyTwoDpi = fixedFromInt(72);
constexpr uint16_t kExposureControl = 0x04A0;
constexpr double kLongestFramePeriodMs = 500.0;
constexpr int kGreyLevels = 256;
// Grey levels from here up show as red when the saturation mark is on.
constexpr int kSaturatedGrey = 240;
constexpr Size kDescriptionBytes = sizeof(ImageDescription);
constexpr Size kGreyTableBytes = 8 + kGreyLevels * Size(sizeof(ColorSpec));

bool isColour(const CameraRecord &r) {
    return r.colorSensor == 1;
}

// Stream stopped and raw buffers released, the ring emptied, the slots and description freed.
// A streaming thread that did not end in time may still write into the ring: then nothing is
// freed and the stop's error is returned.
int32_t resetRing(CameraHandle camera, CameraRecord &r) {
    if (int32_t error = QORACameraStopVideo(camera, 1)) return error;
    atomicField(r.lastFrameMs).store(-1.0);
    atomicField(r.lastFilledSlot).store(kNoSlot);
    atomicField(r.framesReady).store(0);
    atomicField(r.framesWanted).store(0);
    atomicField(r.writeSlot).store(0);
    atomicField(r.readSlot).store(kNoSlot);
    for (uint8_t *&slot : r.frameSlots) slot = nullptr;
    std::free(r.frameSlotBlock);
    r.frameSlotBlock = nullptr;
    if (r.imageDescription) {
        DisposeHandle(reinterpret_cast<Handle>(r.imageDescription));
        r.imageDescription = nullptr;
    }
    return 0;
}

// The exposure is held at 0 while the geometry changes. One that could not be read is left
// alone: writing back a value never read would drop the camera to its shortest exposure.
struct ExposureHold {
    bool held = false;
    uint32_t value = 0;
};

ExposureHold holdOffExposure(CameraHandle camera) {
    ExposureHold hold;
    if (QORAGetVideoControlValue(camera, kExposureControl, 4, &hold.value) != 0) return hold;
    hold.held = true;
    QORASetVideoControlValue(camera, kExposureControl, 4, 0);
    return hold;
}

// Writes the held exposure back, no longer than `longestUs`, and keeps the record's copy equal to
// what the camera now has.
void restoreExposure(CameraHandle camera, CameraRecord &r, ExposureHold hold, uint32_t longestUs) {
    if (!hold.held) return;
    const uint32_t exposure = hold.value < longestUs ? hold.value : longestUs;
    if (QORASetVideoControlValue(camera, kExposureControl, 4, exposure) == 0)
        atomicField(r.exposure).store(exposure);
}

// Ten slots of one decoded frame each, every slot starting on a page boundary. Returns false
// when memory is short (or a frame could not be addressed at all).
bool allocateFrameSlots(CameraRecord &r) {
    const uint64_t frameBytes = uint64_t(r.rawHeight) * r.destRowBytes;
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t blockBytes = kFrameSlotCount * frameBytes + (kFrameSlotCount + 1) * page;
    if (frameBytes == 0 || frameBytes > UINT32_MAX || blockBytes > SIZE_MAX) return false;
    r.compressedFrameBytes = uint32_t(frameBytes);
    void *block = std::malloc(size_t(blockBytes));
    if (!block) return false;
    r.frameSlotBlock = block;
    uintptr_t at = reinterpret_cast<uintptr_t>(block);
    for (uint8_t *&slot : r.frameSlots) {
        at = (at + page - 1) / page * page;
        slot = reinterpret_cast<uint8_t *>(at);
        at += frameBytes;
    }
    return true;
}

// The grey ramp a monochrome frame is shown through; the top levels red when the saturation
// mark is on.
void attachGreyTable(ImageDescriptionHandle desc, bool markSaturation) {
    CTabHandle table = NewColorTable(kGreyLevels);
    if (!table) return;
    (*table)->ctSeed = int32_t(GetCTSeed());
    (*table)->ctFlags = 0;
    for (int i = 0; i < kGreyLevels; ++i) {
        ColorSpec &entry = (*table)->ctTable[i];
        entry.value = int16_t(i);
        const uint16_t level = uint16_t(i * 0x0101);
        entry.rgb = markSaturation && i >= kSaturatedGrey ? RGBColor{0xFFFF, 0, 0}
                                                          : RGBColor{level, level, level};
    }
    SetImageDescriptionCTable(desc, table);
    DisposeHandle(reinterpret_cast<Handle>(table));
}

// The description of the frames handed out, or null when memory is short (*error then says why
// when the memory manager knew).
ImageDescriptionHandle buildImageDescription(const CameraRecord &r, OSErr *error) {
    const bool colour = isColour(r);
    Handle h = NewHandleClear(kDescriptionBytes + (colour ? 0 : kGreyTableBytes));
    *error = MemError();
    if (!h) return nullptr;
    auto desc = reinterpret_cast<ImageDescriptionHandle>(h);
    ImageDescription &d = **desc;
    d.idSize = int32_t(kDescriptionBytes);
    d.cType = kRawCodec;
    d.version = 1;
    d.revisionLevel = 1;
    d.vendor = int32_t(kAppleVendor);
    d.temporalQuality = 0;
    d.spatialQuality = codecLosslessQuality;
    d.width = int16_t(r.rawWidth);
    d.height = int16_t(r.rawHeight);
    d.hRes = d.vRes = kSeventyTwoDpi;
    d.dataSize = int32_t(r.compressedFrameBytes);
    d.frameCount = 1;
    d.depth = colour ? 32 : 8;
    d.clutID = colour ? -1 : 0;
    if (!colour) attachGreyTable(desc, r.saturationMarkOn == 1);
    return desc;
}

} // namespace

namespace qor::vdig {

// The rate index request's answer does not matter here: the table came from the camera a
// moment ago.
void selectDataRate(Handle camera, CameraRecord &r) {
    if (r.dataRateCount == 0 || !r.dataRateTable) return;
    const uint32_t index = r.allowSlowFrames == 1 ? 0 : r.dataRateCount - 1;
    QORASetKBPSRateIndex(camera, index);
    r.dataRateKB = r.dataRateTable[index];
}

void setFrameTiming(CameraRecord &r, uint32_t pixels) {
    r.frameRate = pixels ? float(double(r.dataRateKB) * 1024.0 / pixels) : 0.0f;
    // A camera that reported no data rate gets the longest period rather than an infinite one.
    double periodMs = r.frameRate > 0.0f ? 1000.0 / double(r.frameRate) : kLongestFramePeriodMs;
    if (r.allowSlowFrames == 0 && periodMs > kLongestFramePeriodMs)
        periodMs = kLongestFramePeriodMs;
    r.framePeriodMs = periodMs;
    r.framePeriodUs = uint32_t(periodMs * 1000.0);
}

} // namespace qor::vdig

ComponentResult vdigGetCompressionTypes(Handle storage, VDCompressionListHandle list) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!list) return qtParamErr;
    SetHandleSize(reinterpret_cast<Handle>(list), sizeof(VDCompressionList));
    if (OSErr error = MemError()) return error;
    const CameraRecord &r = *cameraRecord(storage);
    VDCompressionList &entry = **list;
    std::memset(&entry, 0, sizeof entry);
    entry.codec = nullptr;
    entry.cType = kRawCodec;
    std::memcpy(entry.typeName, kCodecName, sizeof kCodecName - 1);
    std::memcpy(entry.name, kCodecName, sizeof kCodecName - 1);
    entry.formatFlags = entry.compressFlags = isColour(r) ? codecInfoDepth32 : codecInfoDepth8;
    entry.reserved = 0;
    return noErr;
}

ComponentResult vdigSetCompression(Handle storage, OSType compressType, int16_t depth, Rect *,
                                   CodecQ, CodecQ, long) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    CameraRecord &r = *cameraRecord(storage);
    if (!r.timeBase) return badCallOrderErr;
    if (compressType != 0 && compressType != kRawCodec) return noCodecErr;
    if (depth != 0 && depth != (isColour(r) ? 32 : 8)) return badDepthErr;
    const uint32_t width = r.subSampleX ? r.imageWidth / r.subSampleX : 0;
    const uint32_t height = r.subSampleY ? r.imageHeight / r.subSampleY : 0;
    if (width == 0 || height == 0) return qtParamErr;

    if (r.imageSettingsChanged == 0 && r.frameSlotBlock && r.imageDescription && r.rawBufferMap &&
        width == r.rawWidth && height == r.rawHeight)
        return noErr;

    if (int32_t error = resetRing(storage, r)) return error;
    r.rawHeight = height;
    r.rawWidth = width;
    r.destRowBytes = isColour(r) ? 4 * width : width;
    r.imageSettingsChanged = 0;

    // The exposure comes back no longer than the new frame period, and also when a step fails.
    const ExposureHold exposure = holdOffExposure(storage);
    int32_t error =
        QORASetCameraImageProperties(storage, r.windowLeft, r.windowTop, r.imageWidth,
                                     r.imageHeight, r.subSampleX, r.subSampleY, r.sensorType);
    if (error == 0) error = QORAGetSupportedKBPSRates(storage);
    if (error != 0) {
        restoreExposure(storage, r, exposure, UINT32_MAX);
        return error;
    }
    qor::vdig::selectDataRate(storage, r);
    qor::vdig::setFrameTiming(r, r.rawWidth * r.rawHeight);
    restoreExposure(storage, r, exposure, r.framePeriodUs);

    if (!allocateFrameSlots(r)) {
        for (uint8_t *&slot : r.frameSlots) slot = nullptr;
        r.compressedFrameBytes = 0;
        return memFullErr;
    }
    OSErr memError = noErr;
    r.imageDescription = buildImageDescription(r, &memError);
    return r.imageDescription ? ComponentResult(noErr) : ComponentResult(memError);
}

ComponentResult vdigSetCompressionOnOff(Handle storage, Boolean state) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    CameraRecord &r = *cameraRecord(storage);
    r.nextFrameDueUs = 0;
    atomicField(r.lastFrameMs).store(-1.0);
    atomicField(r.framesWanted).store(0);
    atomicField(r.lastFilledSlot).store(kNoSlot);
    atomicField(r.readSlot).store(kNoSlot);
    if (state != 1) return noErr;
    atomicField(r.framesReady).store(0);
    return QORACameraStartVideo(storage, r.buffersAllocated == 0 ? 1 : 0);
}

ComponentResult vdigGetImageDescription(Handle storage, ImageDescriptionHandle desc) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!desc) return qtParamErr;
    const CameraRecord &r = *cameraRecord(storage);
    if (!r.imageDescription) return badCallOrderErr;
    Handle stored = reinterpret_cast<Handle>(r.imageDescription);
    const Size bytes = GetHandleSize(stored);
    SetHandleSize(reinterpret_cast<Handle>(desc), bytes);
    if (OSErr error = MemError()) return error;
    std::memcpy(*desc, *stored, size_t(bytes));
    return noErr;
}

ComponentResult vdigSetTimeBase(Handle storage, TimeBase timeBase) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!timeBase) return qtParamErr;
    cameraRecord(storage)->timeBase = timeBase;
    return noErr;
}

ComponentResult vdigSetFrameRate(Handle storage, Fixed framesPerSecond) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    CameraRecord &r = *cameraRecord(storage);
    const double requested = double(framesPerSecond) / 65536.0;
    if (framesPerSecond == 0 || framesPerSecond == -1 || requested >= double(r.frameRate) ||
        requested < 0.0) {
        // Every frame is delivered: no rate was asked for, or the camera is not faster.
        r.throttleDuration = 0;
        return noErr;
    }
    r.throttleDuration = uint32_t(double(r.timeScale) / requested);
    r.frameIntervalUs =
        r.timeScale ? uint32_t(uint64_t(r.throttleDuration) * 1000000 / r.timeScale) : 0;
    return noErr;
}

ComponentResult vdigGetDataRate(Handle storage, long *milliSecPerFrame, Fixed *framesPerSecond,
                                long *bytesPerSecond) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    const CameraRecord &r = *cameraRecord(storage);
    if (bytesPerSecond) *bytesPerSecond = long(r.dataRateKB) * 1024;
    if (framesPerSecond) *framesPerSecond = Fixed(double(r.frameRate) * 65536.0);
    if (milliSecPerFrame) *milliSecPerFrame = r.frameRate > 0.0f ? long(1000.0 / r.frameRate) : 0;
    return noErr;
}

ComponentResult vdigGetPreferredTimeScale(Handle storage, TimeScale *preferred) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!preferred) return qtParamErr;
    *preferred = TimeScale(cameraRecord(storage)->timeScale);
    return noErr;
}

ComponentResult vdigGetTimeCode(Handle storage, TimeRecord *atTime, TimeCodeDef *timeCodeFormat,
                                TimeCodeTime *timeCodeTime) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    const CameraRecord &r = *cameraRecord(storage);
    if (r.timeCodeSupported == 0) return digiUnimpErr;
    if (!r.timeBase) return badCallOrderErr;
    if (!atTime || !timeCodeFormat || !timeCodeTime) return qtParamErr;
    *atTime = r.timeCodeAt;
    *timeCodeFormat = r.timeCodeDef;
    *timeCodeTime = r.timeCodeTime;
    return noErr;
}
