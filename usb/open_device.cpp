// Opening a camera's USB device and interface, and reading its string descriptors.
#include "usb/transport.h"

#include <qorvanta/status.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kStringDescriptorType = 3;
constexpr int kNameStringSize = 31; // each name part: at most 30 characters and the terminator

IOReturn getDescriptor(IOUSBDeviceInterface187 **device, uint8_t index, uint16_t language,
                       void *buffer, uint16_t length, uint32_t &received) {
    IOUSBDevRequestTO req{};
    req.bmRequestType = 0x80;
    req.bRequest = 6; // GET_DESCRIPTOR
    req.wValue = uint16_t(kStringDescriptorType << 8 | index);
    req.wIndex = language;
    req.wLength = length;
    req.pData = buffer;
    req.noDataTimeout = 5000;
    req.completionTimeout = 0;
    IOReturn result = (*device)->DeviceRequestTO(device, &req);
    received = req.wLenDone < length ? req.wLenDone : length;
    return result;
}

bool validStringHeader(const uint8_t *header) {
    return header[1] == kStringDescriptorType && (header[0] & 1) == 0;
}

// The interface-creating steps for one interface service; true when it opened.
bool openInterface(CameraRecord &record) {
    IOCFPlugInInterface **plugIn = nullptr;
    int32_t score = 0;
    kern_return_t kr =
        IOCreatePlugInInterfaceForService(record.interfaceService, kIOUSBInterfaceUserClientTypeID,
                                          kIOCFPlugInInterfaceID, &plugIn, &score);
    if (kr != KERN_SUCCESS || !plugIn) return false;
    (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID),
                              reinterpret_cast<LPVOID *>(&record.interfaceInterface));
    (*plugIn)->Release(plugIn);
    if (!record.interfaceInterface) return false;
    if ((*record.interfaceInterface)->USBInterfaceOpen(record.interfaceInterface) ==
        kIOReturnSuccess)
        return true;
    (*record.interfaceInterface)->Release(record.interfaceInterface);
    record.interfaceInterface = nullptr;
    return false;
}

} // namespace

IOReturn myGetStringDescriptor(IOUSBDeviceInterface187 **device, uint8_t index, char *buffer,
                               uint32_t bufferSize, uint16_t language) {
    if (bufferSize < 2 || !buffer || !device) return kIOReturnBadArgument;
    uint8_t header[2] = {0, 0};
    uint32_t received = 0;
    IOReturn result = getDescriptor(device, index, language, header, sizeof header, received);
    if (!qor::usb::controlDone(result)) return result;
    if (header[0] == 0) {
        buffer[0] = '\0';
        return kIOReturnSuccess;
    }
    if (!validStringHeader(header)) return kIOReturnDeviceError;

    uint8_t descriptor[256] = {};
    result = getDescriptor(device, index, language, descriptor, header[0], received);
    if (result != kIOReturnSuccess) return result;
    // Only the bytes that arrived count, and no more than the descriptor says it holds; a
    // descriptor without its header, with half a character or with a character beyond ASCII is
    // the device's error, and the caller's buffer stays as it was.
    if (received < 2 || received % 2 != 0 || descriptor[0] < 2 || !validStringHeader(descriptor))
        return kIOReturnDeviceError;
    const uint32_t length = descriptor[0] < received ? descriptor[0] : received;
    uint32_t characters = (length - 2) / 2;
    for (uint32_t i = 0; i < characters; ++i)
        if (descriptor[3 + 2 * i] != 0 || descriptor[2 + 2 * i] > 0x7F) return kIOReturnDeviceError;
    if (characters > bufferSize - 1) characters = bufferSize - 1;
    for (uint32_t i = 0; i < characters; ++i) buffer[i] = static_cast<char>(descriptor[2 + 2 * i]);
    buffer[characters] = '\0';
    return kIOReturnSuccess;
}

int32_t myOpenUSBDevice(CameraHandle camera) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return kIOReturnNoDevice;

    IOCFPlugInInterface **plugIn = nullptr;
    int32_t score = 0;
    IOCreatePlugInInterfaceForService(record->deviceService, kIOUSBDeviceUserClientTypeID,
                                      kIOCFPlugInInterfaceID, &plugIn, &score);
    if (!plugIn) return -10;
    (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID187),
                              reinterpret_cast<LPVOID *>(&record->deviceInterface));
    (*plugIn)->Release(plugIn);
    IOUSBDeviceInterface187 **dev = record->deviceInterface;
    if (!dev) return -20;

    if ((*dev)->GetDeviceVendor(dev, &record->vendorID) == kIOReturnSuccess &&
        (*dev)->GetDeviceProduct(dev, &record->productID) == kIOReturnSuccess)
        (*dev)->GetDeviceReleaseNumber(dev, &record->releaseNumber);
    IOReturn opened = (*dev)->USBDeviceOpen(dev);
    if (opened != kIOReturnSuccess) return opened;
    record->locationID = 0;
    (*dev)->GetLocationID(dev, &record->locationID);

    // The name is "product-serial", or the serial alone when there is no product string.
    IOReturn result = kIOReturnSuccess;
    record->cameraName[0] = '\0';
    char part[kNameStringSize];
    uint8_t index = 0;
    (*dev)->USBGetProductStringIndex(dev, &index);
    if (index != 0) {
        result = myGetStringDescriptor(dev, index, part, sizeof part, 0);
        if (result != kIOReturnSuccess) return result;
        std::snprintf(record->cameraName, sizeof record->cameraName, "%s-", part);
    }
    index = 0;
    (*dev)->USBGetSerialNumberStringIndex(dev, &index);
    if (index != 0) {
        result = myGetStringDescriptor(dev, index, part, sizeof part, 0);
        if (result != kIOReturnSuccess) return result;
        std::strncat(record->cameraName, part,
                     sizeof record->cameraName - std::strlen(record->cameraName) - 1);
    }

    IOUSBConfigurationDescriptorPtr config = nullptr;
    result = (*dev)->GetConfigurationDescriptorPtr(dev, 0, &config);
    if (result != kIOReturnSuccess) return result;
    result = (*dev)->SetConfiguration(dev, config->bConfigurationValue);
    if (result != kIOReturnSuccess) return result;

    IOUSBFindInterfaceRequest request{kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare,
                                      kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare};
    io_iterator_t iterator = 0;
    result = (*dev)->CreateInterfaceIterator(dev, &request, &iterator);
    if (result != kIOReturnSuccess) return result;
    bool found = false;
    while (!found && (record->interfaceService = IOIteratorNext(iterator)) != 0) {
        found = openInterface(*record);
        if (!found) {
            IOObjectRelease(record->interfaceService);
            record->interfaceService = 0;
        }
    }
    IOObjectRelease(iterator);
    return found ? 0 : -1;
}
