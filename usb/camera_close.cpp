// Closing a camera: every release tests its field, releases and zeroes it, so a record may be
// closed twice or after a partial open.
#include "usb/transport.h"

#include <qorvanta/camera.h>
#include <qorvanta/usb.h>

namespace {

// Takes a notification port's source off the record's run loop and forgets it.
void removeSource(CameraRecord &record, CFRunLoopSourceRef &source) {
    if (!source) return;
    if (record.runLoop) CFRunLoopRemoveSource(record.runLoop, source, kCFRunLoopDefaultMode);
    source = nullptr;
}

void destroyPort(IONotificationPortRef &port) {
    if (!port) return;
    IONotificationPortDestroy(port);
    port = nullptr;
}

void releaseNotifications(CameraRecord &record) {
    removeSource(record, record.notifyRunLoopSource);
    destroyPort(record.notifyPort);
    if (record.interestNotification) {
        IOObjectRelease(record.interestNotification);
        record.interestNotification = 0;
    }
    removeSource(record, record.powerRunLoopSource);
    destroyPort(record.powerNotifyPort);
    if (record.powerNotifier) {
        IODeregisterForSystemPower(&record.powerNotifier);
        record.powerNotifier = 0;
    }
    // The record's own reference: the loop may belong to a thread that has ended since.
    if (record.runLoop) {
        CFRelease(record.runLoop);
        record.runLoop = nullptr;
    }
}

} // namespace

extern "C" int32_t QORUSBCloseCamera(Handle camera) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return 0;
    if (record->deviceService) {
        if (record->deviceInterface) {
            QORASetCameraCooling(camera, 0, 0.0);
            releaseNotifications(*record);
            if (IOUSBInterfaceInterface **intf = record->interfaceInterface) {
                (*intf)->SetAlternateInterface(intf, 0);
                (*intf)->USBInterfaceClose(intf);
                (*intf)->Release(intf);
                record->interfaceInterface = nullptr;
            }
            if (record->interfaceService) {
                IOObjectRelease(record->interfaceService);
                record->interfaceService = 0;
            }
            if (IOUSBDeviceInterface187 **dev = record->deviceInterface) {
                (*dev)->USBDeviceClose(dev);
                (*dev)->Release(dev);
                record->deviceInterface = nullptr;
            }
        }
        IOObjectRelease(record->deviceService);
        record->deviceService = 0;
    }
    // Also after an open that found no camera, which holds the port but no device.
    if (record->masterPort) {
        mach_port_deallocate(mach_task_self(), record->masterPort);
        record->masterPort = 0;
    }
    record->cameraOpen = 0;
    return 0;
}
