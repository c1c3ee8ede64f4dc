// Intel HEX firmware files, as the loader reads them into an unprogrammed camera: every record
// the reader accepts is written into the simulated FX2's RAM.
#include "platform/usb.h"
#include "sim/sim.h"
#include "usb/firmware.h"
#include "usb/registration.h"
#include "usb/vendor_ids.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr uint16_t kModel = 0x01A5;

std::shared_ptr<qor::sim::SimCamera> gCamera;
IOUSBDeviceInterface187 **gDevice = nullptr;

IOUSBDeviceInterface187 **openUnprogrammedDevice() {
    const uint16_t unprogrammed = kModel | 0x8000;
    auto services = qor::usb::matchingServices(cameraVendorFor(kModel), unprogrammed);
    if (services.empty()) return nullptr;
    for (size_t i = 1; i < services.size(); ++i) IOObjectRelease(services[i]);
    IOCFPlugInInterface **plugIn = nullptr;
    int32_t score = 0;
    kern_return_t kr = IOCreatePlugInInterfaceForService(services[0], kIOUSBDeviceUserClientTypeID,
                                                         kIOCFPlugInInterfaceID, &plugIn, &score);
    IOObjectRelease(services[0]);
    if (kr != KERN_SUCCESS || !plugIn) return nullptr;
    IOUSBDeviceInterface187 **device = nullptr;
    (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID187),
                              reinterpret_cast<LPVOID *>(&device));
    (*plugIn)->Release(plugIn);
    if (device && (*device)->USBDeviceOpen(device) != kIOReturnSuccess) {
        (*device)->Release(device);
        device = nullptr;
    }
    return device;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qor::sim::CameraOptions options;
    options.productID = kModel;
    gCamera = qor::sim::attachCamera(options);
    gDevice = openUnprogrammedDevice();
    // The CPU is held, as the loader holds it, for the whole run: the records only fill RAM.
    uint8_t hold = 0x01;
    IOUSBDevRequest cpucs{0x40, 0xA0, 0xE600, 0, 1, &hold, 0};
    if (!gDevice || (*gDevice)->DeviceRequest(gDevice, &cpucs) != kIOReturnSuccess) {
        std::fprintf(stderr, "fuzz_intel_hex: the simulated camera did not open\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // fmemopen of an empty buffer is refused; an empty file is still a case worth reading.
    static char empty = 0;
    void *bytes = size ? const_cast<uint8_t *>(data) : static_cast<void *>(&empty);
    std::FILE *file = ::fmemopen(bytes, size, "r");
    if (!file) return 0;
    qor::usb::downloadIntelHex(gDevice, file);
    std::fclose(file);
    gCamera->clearTransferLog(); // keeps the log from growing over millions of inputs
    return 0;
}
