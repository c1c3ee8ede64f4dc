// The cameras on the bus list and how far each came up: the product id tells whether the FX2
// runs its firmware, a registered digitizer at the same location tells that the loader finished,
// and the FPGA control register tells the rest.
#include "usb/bus_inventory.h"

#include "camera/registers.h"
#include "platform/components.h"
#include "platform/usb_backend.h"
#include "platform/videodigitizer.h"
#include "usb/camera_record.h"
#include "usb/registration.h"
#include "usb/vendor_ids.h"
#include "vdig/vdig.h"

#include <algorithm>

namespace qor::usb {
namespace {

constexpr uint16_t kUnprogrammedBit = 0x8000;
constexpr uint16_t kRegFpga = 0x0008;
constexpr uint32_t kFpgaConfigured = 0x20;
constexpr uint32_t kRegisterReadTimeoutMs = 1000;

bool isCamera(const DeviceDescriptor &d) {
    if (d.idVendor != kCameraVendorID && d.idVendor != kCameraVendorID2) return false;
    const uint16_t model = d.idProduct & ~kUnprogrammedBit;
    return std::find(kCameraProductIDs.begin(), kCameraProductIDs.end(), model) !=
           kCameraProductIDs.end();
}

// The name of the digitizer registered for the camera at this location, if any.
std::string registeredName(uint16_t productID, uint32_t locationID) {
    ComponentDescription looking{videoDigitizerComponentType, kQorvantaVdigSubType,
                                 kQorvantaManufacturer, 0, 0};
    for (Component c = FindNextComponent(nullptr, &looking); c;
         c = FindNextComponent(c, &looking)) {
        const auto *info = reinterpret_cast<const CameraComponentInfo *>(GetComponentRefcon(c));
        if (info && info->productID == productID && info->locationID == locationID)
            return info->name;
    }
    return {};
}

// Reads the FPGA control register over the default pipe. A camera that is held elsewhere or
// does not answer counts as not configured.
bool fpgaConfigured(Device &device) {
    if (device.open() != 0) return false;
    uint8_t data[4] = {};
    uint32_t moved = 0;
    const SetupPacket read{0xC0, camera::kRegisterRequest, 0, kRegFpga, sizeof data};
    const IOReturn result =
        device.controlTransfer(read, data, {kRegisterReadTimeoutMs, kRegisterReadTimeoutMs}, moved);
    device.close();
    return result == 0 && moved == sizeof data && (data[0] & kFpgaConfigured) != 0;
}

} // namespace

std::vector<AttachedCamera> attachedCameras() {
    std::vector<AttachedCamera> cameras;
    for (const std::shared_ptr<Backend> &backend : backends()) {
        for (const std::shared_ptr<Device> &device : backend->devices()) {
            const DeviceDescriptor d = device->deviceDescriptor();
            if (!isCamera(d)) continue;
            AttachedCamera camera;
            camera.vendorID = d.idVendor;
            camera.productID = d.idProduct & ~kUnprogrammedBit;
            camera.locationID = device->locationID();
            camera.simulated = device->simulated();
            if (d.idProduct & kUnprogrammedBit) {
                camera.state = BringUpState::Unprogrammed;
            } else if (camera.name = registeredName(camera.productID, camera.locationID);
                       !camera.name.empty()) {
                camera.state = BringUpState::Registered;
            } else {
                camera.state = fpgaConfigured(*device) ? BringUpState::FpgaConfigured
                                                       : BringUpState::RunningFirmware;
            }
            cameras.push_back(std::move(camera));
        }
    }
    std::stable_sort(cameras.begin(), cameras.end(), [](const auto &a, const auto &b) {
        return a.locationID < b.locationID;
    });
    return cameras;
}

const char *bringUpStateName(BringUpState state) {
    static const char *const kNames[] = {"unprogrammed", "running firmware", "FPGA configured",
                                         "registered"};
    return kNames[static_cast<int>(state)];
}

std::string busAndPort(uint32_t locationID) {
    std::string text = "bus " + std::to_string(locationID >> 24) + " port ";
    bool first = true;
    for (int shift = 16; shift >= 0; shift -= 8) {
        const uint32_t port = (locationID >> shift) & 0xFF;
        if (port == 0) break;
        if (!first) text += '.';
        text += std::to_string(port);
        first = false;
    }
    if (first) text += "0";
    return text;
}

} // namespace qor::usb
