// Register access: one vendor request 0x12 per 32-bit register, value little-endian on the
// wire whatever the host's byte order.
#include "camera/registers.h"

#include "usb/transport.h"

#include <qorvanta/camera.h>
#include <qorvanta/status.h>

namespace {

void toLittleEndian(uint32_t value, uint8_t (&bytes)[4]) {
    for (int i = 0; i < 4; ++i) bytes[i] = uint8_t(value >> (8 * i));
}

uint32_t fromLittleEndian(const uint8_t (&bytes)[4]) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

int32_t readRegister(Handle camera, uint16_t reg, uint32_t *value) {
    IOUSBInterfaceInterface **intf = qor::usb::openInterface(camera);
    if (!intf) return kIOReturnNoDevice;
    uint8_t bytes[4] = {0, 0, 0, 0};
    IOUSBDevRequestTO req{};
    req.bmRequestType = 0xC0;
    req.bRequest = qor::camera::kRegisterRequest;
    req.wValue = 0;
    req.wIndex = reg;
    req.wLength = 4;
    req.pData = bytes;
    req.wLenDone = 4;
    req.noDataTimeout = 5000;
    req.completionTimeout = 5000;
    IOReturn result = (*intf)->ControlRequestTO(intf, 0, &req);
    if (result == kIOReturnSuccess && req.wLenDone != 4) return -1;
    if (!qor::usb::controlDone(result)) return result;
    *value = fromLittleEndian(bytes);
    return 0;
}

} // namespace

namespace qor::camera {

int32_t writeRegisterData(CameraHandle camera, uint16_t reg, const void *data, uint16_t length) {
    CameraRecord *record = cameraRecord(camera);
    IOUSBInterfaceInterface **intf = qor::usb::openInterface(camera);
    if (!intf) return kIOReturnNoDevice;
    IOUSBDevRequestTO req{};
    req.bmRequestType = 0x40;
    req.bRequest = kRegisterRequest;
    req.wValue = 0;
    req.wIndex = reg;
    req.wLength = length;
    req.pData = const_cast<void *>(data);
    req.wLenDone = 0;
    req.noDataTimeout = 5000;
    req.completionTimeout = 0;
    IOReturn result = (*intf)->ControlRequestTO(intf, 0, &req);
    if (result != kIOReturnSuccess && result != kIOReturnOverrun)
        qor::usb::recoverFromStall(*record, 0);
    return result;
}

int32_t writeRegisterBit(CameraHandle camera, uint16_t reg, uint32_t bit, bool set) {
    uint32_t word = 0;
    int32_t result = QORAReadOneCameraRegister(camera, reg, &word);
    if (result != 0) return result;
    word = set ? (word | bit) : (word & ~bit);
    return QORAWriteOneCameraRegister(camera, reg, word);
}

} // namespace qor::camera

extern "C" {

int32_t QORAReadOneCameraRegister(Handle camera, uint16_t reg, uint32_t *value) {
    if (!value) return paramErr;
    *value = 0;
    return readRegister(camera, reg, value);
}

int32_t QORAReadTwoCameraRegister(Handle camera, uint16_t reg, uint16_t *first, uint16_t *second) {
    if (!first || !second) return paramErr;
    *first = 0;
    *second = 0;
    uint32_t value = 0;
    int32_t result = readRegister(camera, reg, &value);
    if (result == 0) {
        *first = uint16_t(value);
        *second = uint16_t(value >> 16);
    }
    return result;
}

int32_t QORAWriteOneCameraRegister(Handle camera, uint16_t reg, uint32_t value) {
    uint8_t bytes[4];
    toLittleEndian(value, bytes);
    return qor::camera::writeRegisterData(camera, reg, bytes, sizeof bytes);
}

int32_t QORAWriteTwoCameraRegister(Handle camera, uint16_t reg, uint16_t first, uint16_t second) {
    return QORAWriteOneCameraRegister(camera, reg, uint32_t(second) << 16 | first);
}

} // extern "C"
