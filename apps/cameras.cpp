#include "cameras.h"

#include "platform/memory.h"
#include "sim/sim.h"
#include "usb/camera_record.h"
#include "usb/registration.h"
#include "usb/transport.h"
#include "usb/vendor_ids.h"

#include <qorvanta/usb.h>

namespace qor::apps {

namespace {

constexpr uint16_t kUnprogrammedBit = 0x8000;

// Opens each camera of the model on the bus just long enough to register its digitizer.
void registerModel(uint16_t productID, bool simulated, std::vector<CameraEntry> &cameras) {
    for (io_service_t service : usb::matchingServices(cameraVendorFor(productID), productID)) {
        CameraHandle camera = newCameraHandle();
        if (!camera) {
            IOObjectRelease(service);
            continue;
        }
        CameraRecord &record = *cameraRecord(camera);
        record.deviceService = service;
        if (myOpenUSBDevice(camera) == 0 && usb::registerCameraDigitizer(record) == noErr)
            cameras.push_back({record.cameraName, productID, simulated});
        QORUSBCloseCamera(camera);
        DisposeHandle(camera);
    }
}

std::vector<CameraEntry> registerAll(bool simulated) {
    std::vector<CameraEntry> cameras;
    for (uint16_t productID : usb::kCameraProductIDs) registerModel(productID, simulated, cameras);
    return cameras;
}

int countUnprogrammed() {
    int count = 0;
    for (uint16_t productID : usb::kCameraProductIDs) {
        for (io_service_t service :
             usb::matchingServices(cameraVendorFor(productID), productID | kUnprogrammedBit)) {
            IOObjectRelease(service);
            ++count;
        }
    }
    return count;
}

} // namespace

CameraSetup setUpCameras(const std::vector<uint16_t> &simModels, bool simulate) {
    CameraSetup setup;
    if (!simulate) {
        setup.unprogrammed = countUnprogrammed();
        setup.cameras = registerAll(false);
        if (!setup.cameras.empty()) return setup;
    }
    for (uint16_t productID : simModels) {
        sim::CameraOptions options;
        options.productID = productID;
        options.firmwareLoaded = true;
        options.fpgaConfigured = true;
        sim::attachCamera(options);
    }
    for (CameraEntry &entry : registerAll(true)) setup.cameras.push_back(std::move(entry));
    return setup;
}

void tearDownCameras() {
    usb::unregisterCameraDigitizers();
    sim::detachAllCameras();
}

} // namespace qor::apps
