// The loader: one synchronous pass that brings every attached camera from power-up to a
// registered digitizer.
#include "platform/components.h"
#include "platform/log.h"
#include "platform/usb.h"
#include "platform/videodigitizer.h"
#include "usb/backend_choice.h"
#include "usb/firmware.h"
#include "usb/new_camera.h"
#include "usb/registration.h"
#include "usb/vendor_ids.h"
#include "vdig/vdig.h"

#include <qorvanta/usb.h>

#include <cstdio>

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

// The master port, a device matching dictionary and a notification port, as both passes of the
// loader set them up; each is released when the pass ends.
struct MatchingSetUp {
    mach_port_t masterPort = 0;
    CFMutableDictionaryRef matching = nullptr;
    IONotificationPortRef port = nullptr;
    int32_t failure = 0; // 0, or the loader's code for the step that failed

    MatchingSetUp() {
        if (IOMasterPort(MACH_PORT_NULL, &masterPort) != KERN_SUCCESS || !masterPort) {
            masterPort = 0;
            failure = kNoMasterPort;
        } else if (!(matching = IOServiceMatching(kIOUSBDeviceClassName))) {
            failure = kNoMatchingDictionary;
        } else if (!(port = IONotificationPortCreate(masterPort))) {
            failure = kNoNotificationPort;
        }
    }
    ~MatchingSetUp() {
        if (port) IONotificationPortDestroy(port);
        port = nullptr;
        if (matching) CFRelease(matching);
        matching = nullptr;
        if (masterPort) mach_port_deallocate(mach_task_self(), masterPort);
        masterPort = 0;
    }
    MatchingSetUp(const MatchingSetUp &) = delete;
    MatchingSetUp &operator=(const MatchingSetUp &) = delete;

    // Runs one first-match pass with the dictionary as it now stands.
    kern_return_t match(IOServiceMatchingCallback handler) {
        CFRetain(matching); // the notification consumes a reference
        return matchNow(port, matching, handler);
    }
};

// Downloads firmware into every unprogrammed camera of both vendor ids. 0, or a failure code
// of the loader; *matchingResult receives the result of the matching notifications.
int32_t loadFirmware(kern_return_t *matchingResult) {
    *matchingResult = KERN_SUCCESS;
    MatchingSetUp setUp;
    if (setUp.failure) return setUp.failure;
    setNumber(setUp.matching, kUSBVendorID, kCameraVendorID);
    setNumber(setUp.matching, kUSBDeviceSubClass, kUnprogrammedSubClass);
    *matchingResult = setUp.match(myAnchorFX2UnenumeratedAdded);
    if (*matchingResult == KERN_SUCCESS) {
        setNumber(setUp.matching, kUSBVendorID, kCameraVendorID2);
        *matchingResult = setUp.match(myAnchorFX2UnenumeratedAdded);
    }
    return 0;
}

// Configures and registers every camera that runs its firmware, model by model. 0, a failure
// code of the loader, or the error of the first failed matching notification.
int32_t registerCameras() {
    MatchingSetUp setUp;
    if (setUp.failure) return setUp.failure;
    kern_return_t result = KERN_SUCCESS;
    for (uint16_t productID : qor::usb::kCameraProductIDs) {
        setNumber(setUp.matching, kUSBVendorID, cameraVendorFor(productID));
        setNumber(setUp.matching, kUSBProductID, productID);
        result = setUp.match(myNewCameraAdded);
        if (result != KERN_SUCCESS) break;
    }
    return result;
}

} // namespace

extern "C" int32_t QORUSBInitializeLoader() {
    // A program that set up no backend of its own gets the process's choice (real cameras,
    // else those QORVANTA_SIM_MODELS names).
    if (const qor::usb::BackendSetup backends = qor::usb::setUpBackends({});
        !backends.error.empty())
        qor::platform::log(qor::platform::LogLevel::Error, "QORUSBInitializeLoader: %s",
                           backends.error.c_str());
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
