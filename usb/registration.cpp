#include "usb/registration.h"

#include "platform/components.h"
#include "platform/memory.h"
#include "platform/misc.h"
#include "platform/videodigitizer.h"
#include "vdig/vdig.h"

#include <qorvanta/status.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace qor::usb {

const std::array<uint16_t, 28> kCameraProductIDs = {
    0x00A1, 0x04A2, 0x00A3, 0x01AC, 0x01A2, 0x01A7, 0x01A4, 0x01A5, 0x01A8, 0x03AD,
    0x008C, 0x018C, 0x0085, 0x0092, 0x0096, 0x019A, 0x018A, 0x009E, 0x0097, 0x0180,
    0x008D, 0x01CD, 0x019B, 0x008B, 0x01C5, 0x01C8, 0x009A, 0x01AF,
};

namespace {

constexpr uint32_t kDigitizerFlags = 0x0000000D;
constexpr int16_t kDigitizerGlobalFlags = 0x201;

ComponentDescription digitizerDescription() {
    return {videoDigitizerComponentType, kQorvantaVdigSubType, kQorvantaManufacturer,
            kDigitizerFlags, 0};
}

// A handle holding the camera name as a length-prefixed string, or null.
Handle pascalHandle(const char *text) {
    Str255 pascal;
    CopyCStringToPascal(text, pascal);
    Handle h = NewHandle(Size(pascal[0]) + 1);
    if (h) std::memcpy(*h, pascal, size_t(pascal[0]) + 1);
    return h;
}

} // namespace

std::vector<io_service_t> matchingServices(uint16_t vendorID, uint16_t productID) {
    std::vector<io_service_t> services;
    mach_port_t port = 0;
    if (IOMasterPort(MACH_PORT_NULL, &port) != KERN_SUCCESS || !port) return services;
    CFMutableDictionaryRef matching = IOServiceMatching(kIOUSBDeviceClassName);
    if (!matching) {
        mach_port_deallocate(mach_task_self(), port);
        return services;
    }
    int32_t vendor = vendorID, product = productID;
    CFNumberRef vendorNumber = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &vendor);
    CFNumberRef productNumber = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &product);
    CFDictionarySetValue(matching, CFSTR(kUSBVendorID), vendorNumber);
    CFDictionarySetValue(matching, CFSTR(kUSBProductID), productNumber);
    CFRelease(vendorNumber);
    CFRelease(productNumber);
    io_iterator_t iterator = 0;
    // The matching dictionary is consumed.
    if (IOServiceGetMatchingServices(port, matching, &iterator) == KERN_SUCCESS) {
        while (io_service_t service = IOIteratorNext(iterator)) services.push_back(service);
        IOObjectRelease(iterator);
    }
    mach_port_deallocate(mach_task_self(), port);
    return services;
}

OSErr registerCameraDigitizer(const CameraRecord &record) {
    ComponentDescription looking = digitizerDescription();
    if (CountComponents(&looking) != 0) {
        for (Component c = FindNextComponent(nullptr, &looking); c;
             c = FindNextComponent(c, &looking)) {
            std::string name;
            // A name that cannot be read is reported as it is; the same name means registered.
            if (OSErr error = platform::componentName(c, &name)) return error;
            if (name == record.cameraName) return noErr;
        }
    }

    Handle name = pascalHandle(record.cameraName);
    Handle info = pascalHandle(record.cameraName);
    ComponentDescription description = digitizerDescription();
    Component component = name && info
                              ? RegisterComponent(&description, vdigMainEntry,
                                                  kDigitizerGlobalFlags, name, info, nullptr)
                              : nullptr;
    if (name) DisposeHandle(name);
    if (info) DisposeHandle(info);
    if (!component) return memFullErr;
    // Lives as long as the registration: until the process ends.
    auto *identity = new CameraComponentInfo{};
    identity->component = component;
    identity->vendorID = record.vendorID;
    identity->productID = record.productID;
    identity->locationID = record.locationID;
    const size_t length = strnlen(record.cameraName, sizeof identity->name - 1);
    std::memcpy(identity->name, record.cameraName, length);
    SetComponentRefcon(component, reinterpret_cast<long>(identity));
    return noErr;
}

int unregisterCameraDigitizers() {
    ComponentDescription looking = digitizerDescription();
    int unregistered = 0;
    Component c = FindNextComponent(nullptr, &looking);
    while (c) {
        Component next = FindNextComponent(c, &looking);
        auto *identity = reinterpret_cast<CameraComponentInfo *>(GetComponentRefcon(c));
        if (UnregisterComponent(c) == noErr) {
            delete identity;
            ++unregistered;
        }
        c = next;
    }
    return unregistered;
}

} // namespace qor::usb
