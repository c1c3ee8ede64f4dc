#include "support/sim_camera.h"

#include "platform/memory.h"
#include "platform/usb.h"
#include "usb/registration.h"
#include "usb/transport.h"
#include "usb/vendor_ids.h"

#include <qorvanta/usb.h>

#include <cstdlib>

namespace qor::test {

std::vector<io_service_t> matchingServices(uint16_t vendorID, uint16_t productID) {
    return usb::matchingServices(vendorID, productID);
}

sim::CameraOptions runningCamera(uint16_t productID, std::string serial) {
    sim::CameraOptions options;
    options.productID = productID;
    options.serial = std::move(serial);
    options.firmwareLoaded = true;
    options.fpgaConfigured = true;
    return options;
}

OpenCamera::OpenCamera(sim::CameraOptions options, uint8_t alternateSetting) {
    sim_ = sim::attachCamera(options);
    camera_ = newCameraHandle();
    open(options, alternateSetting);
}

void OpenCamera::open(const sim::CameraOptions &options, uint8_t alternateSetting) {
    std::vector<io_service_t> services =
        matchingServices(cameraVendorFor(options.productID), options.productID);
    ASSERT_FALSE(services.empty()) << "simulated camera not on the bus";
    // Keep the last one attached: the camera this fixture just plugged in.
    record().deviceService = services.back();
    services.pop_back();
    for (io_service_t other : services) IOObjectRelease(other);
    ASSERT_EQ(myOpenUSBDevice(camera_), 0);
    IOUSBInterfaceInterface **intf = record().interfaceInterface;
    ASSERT_EQ((*intf)->SetAlternateInterface(intf, alternateSetting), kIOReturnSuccess);
    sim_->clearTransferLog();
}

OpenCamera::~OpenCamera() {
    // What the digitizer's close does besides closing the camera.
    std::free(record().dataRateTable);
    record().dataRateTable = nullptr;
    QORUSBCloseCamera(camera_);
    DisposeHandle(camera_);
}

std::vector<sim::Transfer> controlTransfers(const std::vector<sim::Transfer> &log) {
    std::vector<sim::Transfer> out;
    for (const sim::Transfer &t : log)
        if (t.kind == sim::Transfer::Kind::Control) out.push_back(t);
    return out;
}

uint32_t RegisterWrite::value() const {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && i < data.size(); ++i) v |= uint32_t(data[i]) << (8 * i);
    return v;
}

std::vector<RegisterWrite> registerWrites(const std::vector<sim::Transfer> &log) {
    std::vector<RegisterWrite> out;
    for (const sim::Transfer &t : controlTransfers(log))
        if (t.bmRequestType == 0x40 && t.bRequest == 0x12) out.push_back({t.wIndex, t.data});
    return out;
}

std::vector<uint16_t> registerReads(const std::vector<sim::Transfer> &log) {
    std::vector<uint16_t> out;
    for (const sim::Transfer &t : controlTransfers(log))
        if (t.bmRequestType == 0xC0 && t.bRequest == 0x12) out.push_back(t.wIndex);
    return out;
}

std::vector<uint8_t> clearedEndpoints(const std::vector<sim::Transfer> &log) {
    std::vector<uint8_t> out;
    for (const sim::Transfer &t : controlTransfers(log))
        if (t.bmRequestType == 0x02 && t.bRequest == 1 && t.wValue == 0)
            out.push_back(uint8_t(t.wIndex));
    return out;
}

std::vector<uint8_t> abortedEndpoints(const std::vector<sim::Transfer> &log) {
    std::vector<uint8_t> out;
    for (const sim::Transfer &t : log)
        if (t.kind == sim::Transfer::Kind::Abort) out.push_back(t.endpoint);
    return out;
}

void SimTest::SetUp() {
    sim::detachAllCameras();
}

void SimTest::TearDown() {
    sim::detachAllCameras();
}

} // namespace qor::test
