// The camera library's USB transport inside the library: device opening, string descriptors,
// and the rules every transfer shares (success, stall recovery, bulk time-out).
#pragma once

#include "platform/usb.h"
#include "usb/camera_record.h"

namespace qor::usb {

// A control request is done when it answers 0 or an overrun.
inline bool controlDone(IOReturn result) {
    return result == kIOReturnSuccess || result == kIOReturnOverrun;
}

// After a failed transfer: clear the stall of the bulk-in pipe at both ends, then abort the
// pipe the transfer used (0 for control requests). Nothing happens without an open interface.
void recoverFromStall(CameraRecord &record, uint8_t failedPipe);

// Time-out in milliseconds for a bulk transfer of `bytes`.
uint32_t bulkTimeoutMs(uint32_t bytes);

// The record's interface, or null when the camera is not (or no longer) open.
inline IOUSBInterfaceInterface **openInterface(CameraHandle camera) {
    CameraRecord *record = cameraRecord(camera);
    return record ? record->interfaceInterface : nullptr;
}

} // namespace qor::usb

// Opens the device in deviceService, reads its identity and name and opens its first interface
// that opens. 0, or -10 / -20 for a missing plug-in or device interface, -1 when no interface
// opened, or the error of a failing step.
int32_t myOpenUSBDevice(CameraHandle camera);

// Reads string descriptor `index` as an ASCII C string of at most bufferSize - 1 characters
// (the low byte of each UTF-16 unit), from the bytes the device actually sent.
// kIOReturnDeviceError for a malformed descriptor (wrong type, odd or too short a length, a
// character beyond ASCII).
IOReturn myGetStringDescriptor(IOUSBDeviceInterface187 **device, uint8_t index, char *buffer,
                               uint32_t bufferSize, uint16_t language);
