// The loader: one synchronous pass that brings every attached camera from power-up to a
// registered digitizer.
#include "platform/components.h"
#include "platform/usb.h"
#include "platform/videodigitizer.h"
#include "usb/firmware.h"
#include "usb/new_camera.h"
#include "usb/registration.h"
#include "usb/vendor_ids.h"
#include "vdig/vdig.h"

#include <qorvanta/usb.h>

namespace {

constexpr int32_t kNoMasterPort = -1;
constexpr int32_t kNoMatchingDictionary = -2;
constexpr int32_t kNoNotificationPort = -3;
constexpr uint8_t kUnprogrammedSubClass = 0xFF;
// Long enough for a controller that just received its firmware to leave the bus and come back.
constexpr CFTimeInterval kReenumerationWait = 2.5;

void setNumber(CFMutableDictionaryRef dictionary, const char *key, int32_t value) {
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
    CFDictionarySetValue(dictionary, CFSTR(key), number);
    CFRelease(number);
}

// Registers a first-match notification with the port's source on the current run loop, hands
// the devices present now to the handler at once, and takes the notification down again: the
// loader does not watch the bus afterwards. Consumes one reference to the dictionary.
kern_return_t matchNow(IONotificationPortRef port, CFMutableDictionaryRef matching,
                       IOServiceMatchingCallback handler) {
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(port);
    CFRunLoopAddSource(runLoop, source, kCFRunLoopDefaultMode);
    io_iterator_t iterator = 0;
    kern_return_t result = IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                                            matching, handler, nullptr, &iterator);
    if (result == KERN_SUCCESS) handler(nullptr, iterator);
    CFRunLoopRemoveSource(runLoop, source, kCFRunLoopDefaultMode);
    if (iterator) IOObjectRelease(iterator);
    return result;
}

// Downloads firmware into every unprogrammed camera of both vendor ids. 0, or a failure code
// of the loader; *matchingResult receives the result of the matching notifications.
int32_t loadFirmware(kern_return_t *matchingResult) {
    *matchingResult = KERN_SUCCESS;
    mach_port_t masterPort = 0;
    if (IOMasterPort(MACH_PORT_NULL, &masterPort) != KERN_SUCCESS || !masterPort)
        return kNoMasterPort;
    CFMutableDictionaryRef matching = IOServiceMatching(kIOUSBDeviceClassName);
    if (!matching) {
        mach_port_deallocate(mach_task_self(), masterPort);
        return kNoMatchingDictionary;
    }
    // One reference for each of the two notifications, which consume them.
    CFRetain(matching);
    setNumber(matching, kUSBVendorID, kCameraVendorID);
    setNumber(matching, kUSBDeviceSubClass, kUnprogrammedSubClass);
    IONotificationPortRef port = IONotificationPortCreate(masterPort);
    if (!port) {
        mach_port_deallocate(mach_task_self(), masterPort);
        CFRelease(matching);
        CFRelease(matching);
        return kNoNotificationPort;
    }
    *matchingResult = matchNow(port, matching, myAnchorFX2UnenumeratedAdded);
    if (*matchingResult == KERN_SUCCESS) {
        setNumber(matching, kUSBVendorID, kCameraVendorID2);
        *matchingResult = matchNow(port, matching, myAnchorFX2UnenumeratedAdded);
    } else {
        // The reference meant for the second notification would otherwise never go.
        CFRelease(matching);
    }
    IONotificationPortDestroy(port);
    mach_port_deallocate(mach_task_self(), masterPort);
    return 0;
}

// Configures and registers every camera that runs its firmware, model by model. 0, a failure
// code of the loader, or the error of the first failed matching notification.
int32_t registerCameras() {
    mach_port_t masterPort = 0;
    if (IOMasterPort(MACH_PORT_NULL, &masterPort) != KERN_SUCCESS || !masterPort)
        return kNoMasterPort;
    CFMutableDictionaryRef matching = IOServiceMatching(kIOUSBDeviceClassName);
    if (!matching) {
        mach_port_deallocate(mach_task_self(), masterPort);
        return kNoMatchingDictionary;
    }
    IONotificationPortRef port = IONotificationPortCreate(masterPort);
    if (!port) {
        mach_port_deallocate(mach_task_self(), masterPort);
        CFRelease(matching);
        return kNoNotificationPort;
    }
    kern_return_t result = KERN_SUCCESS;
    for (uint16_t productID : qor::usb::kCameraProductIDs) {
        setNumber(matching, kUSBVendorID, cameraVendorFor(productID));
        setNumber(matching, kUSBProductID, productID);
        CFRetain(matching);
        result = matchNow(port, matching, myNewCameraAdded);
        if (result != KERN_SUCCESS) break;
    }
    CFRelease(matching);
    IONotificationPortDestroy(port);
    mach_port_deallocate(mach_task_self(), masterPort);
    return result;
}

} // namespace

extern "C" int32_t QORUSBInitializeLoader() {
    gWasCameraFirmwareLoaded = 0;
    kern_return_t firmware = KERN_SUCCESS;
    if (int32_t failed = loadFirmware(&firmware)) return failed;
    // Cameras that just received firmware leave the bus and come back as their model; give
    // them the time before looking for them.
    if (gWasCameraFirmwareLoaded == 1)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, kReenumerationWait, false);
    if (firmware != KERN_SUCCESS) return firmware;

    int32_t result = registerCameras();
    if (result != KERN_SUCCESS) return result;

    ComponentDescription looking{videoDigitizerComponentType, kQorvantaVdigSubType,
                                 kQorvantaManufacturer, 0, 0};
    return CountComponents(&looking) != 0 ? 0 : 1;
}
