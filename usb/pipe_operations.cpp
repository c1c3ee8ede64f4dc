// Vendor control requests and bulk transfers on an open camera.
#include "platform/log.h"
#include "usb/transport.h"

#include <qorvanta/status.h>
#include <qorvanta/usb.h>

#include <cstdio>

namespace qor::usb {

void recoverFromStall(CameraRecord &record, uint8_t failedPipe) {
    IOUSBInterfaceInterface **intf = record.interfaceInterface;
    if (!intf) return;
    (*intf)->ClearPipeStallBothEnds(intf, record.bulkInPipe);
    (*intf)->AbortPipe(intf, failedPipe);
}

uint32_t bulkTimeoutMs(uint32_t bytes) {
    // The slowest the camera moves data is 468750 KB/s; give a generous multiple of that time.
    double t = (double(bytes) * 0.0009765625 / 468750.0) * 1000.0;
    auto ms = static_cast<uint32_t>(t);
    return ms <= 4999 ? 5000 : 4 * ms;
}

} // namespace qor::usb

using qor::usb::bulkTimeoutMs;
using qor::usb::recoverFromStall;

namespace {

IOUSBDevRequestTO vendorRequest(uint8_t direction, void *data, uint32_t length, uint8_t request,
                                uint16_t value, uint16_t index, uint32_t completionTimeout) {
    IOUSBDevRequestTO req{};
    req.bmRequestType = direction;
    req.bRequest = request;
    req.wValue = value;
    req.wIndex = index;
    req.wLength = static_cast<uint16_t>(length);
    req.pData = data;
    req.wLenDone = 0;
    req.noDataTimeout = 5000;
    req.completionTimeout = completionTimeout;
    return req;
}

} // namespace

extern "C" {

int32_t QORUSBWriteControlPipe(Handle camera, void *data, uint32_t length, uint8_t request,
                               uint16_t value, uint16_t index) {
    CameraRecord *record = cameraRecord(camera);
    // A data stage longer than a control request can carry would be cut short silently.
    if (!record || (!data && length != 0) || length > 0xFFFF) return -1;
    IOUSBInterfaceInterface **intf = record->interfaceInterface;
    if (!intf) return kIOReturnNoDevice;
    IOUSBDevRequestTO req = vendorRequest(0x40, data, length, request, value, index, 0);
    IOReturn result = (*intf)->ControlRequestTO(intf, 0, &req);
    if (qor::usb::controlDone(result)) return result;
    recoverFromStall(*record, 0);
    return result;
}

int32_t QORUSBReadControlPipe(Handle camera, void *data, uint32_t length, uint8_t request,
                              uint16_t value, uint16_t index) {
    CameraRecord *record = cameraRecord(camera);
    if (!record || !data || length == 0 || length > 0xFFFF) return -1;
    IOUSBInterfaceInterface **intf = record->interfaceInterface;
    if (!intf) return kIOReturnNoDevice;
    IOUSBDevRequestTO req = vendorRequest(0xC0, data, length, request, value, index, 5000);
    IOReturn result = (*intf)->ControlRequestTO(intf, 0, &req);
    if (result == kIOReturnSuccess) return req.wLenDone == length ? 0 : -1;
    if (result == kIOReturnOverrun) return 0;
    return result;
}

int32_t QORUSBWriteBulkPipe(Handle camera, uint8_t pipe, void *data, uint32_t byteCount) {
    CameraRecord *record = cameraRecord(camera);
    if (!record || !data || byteCount == 0) return -1;
    IOUSBInterfaceInterface **intf = record->interfaceInterface;
    if (!intf) return kIOReturnNoDevice;
    uint32_t timeout = bulkTimeoutMs(byteCount);
    IOReturn result = (*intf)->GetPipeStatus(intf, pipe);
    if (result != kIOReturnSuccess) {
        qor::platform::log(qor::platform::LogLevel::Error,
                           "myUSBReadBulkPipe GetPipeStatus failed 0x%X %d", result, result);
        return result;
    }
    result = (*intf)->WritePipeTO(intf, pipe, data, byteCount, timeout, 0);
    if (qor::usb::controlDone(result)) return result;
    recoverFromStall(*record, pipe);
    qor::platform::log(qor::platform::LogLevel::Error,
                       "myUSBReadBulkPipe WritePipeTO failed 0x%X %d", result, result);
    return result;
}

int32_t QORUSBReadBulkPipe(Handle camera, uint8_t pipe, void *data, uint32_t *byteCount) {
    CameraRecord *record = cameraRecord(camera);
    if (!record || !data || !byteCount || *byteCount == 0) return -1;
    IOUSBInterfaceInterface **intf = record->interfaceInterface;
    if (!intf) return kIOReturnNoDevice;
    uint32_t size = *byteCount;
    uint32_t timeout = bulkTimeoutMs(size);
    IOReturn result = (*intf)->GetPipeStatus(intf, pipe);
    if (result != kIOReturnSuccess) {
        qor::platform::log(qor::platform::LogLevel::Error,
                           "myUSBReadBulkPipe GetPipeStatus failed 0x%X %d", result, result);
        return result;
    }
    result = (*intf)->ReadPipeTO(intf, pipe, data, &size, timeout, 0);
    if (qor::usb::controlDone(result)) {
        // The caller learns how much arrived: a short frame is not a full one.
        *byteCount = size;
        return result;
    }
    recoverFromStall(*record, pipe);
    qor::platform::log(qor::platform::LogLevel::Error,
                       "myUSBReadBulkPipe ReadPipeTO failed 0x%X %d", result, result);
    return result;
}

} // extern "C"
