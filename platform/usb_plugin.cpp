// Plug-ins: the step from an io service to its device or interface user client.
#include "platform/usb_internal.h"

const CFUUIDRef kIOUSBDeviceUserClientTypeID =
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x9D, 0xC7, 0xB7, 0x80, 0x9E, 0xC0, 0x11,
                                   0xD4, 0xA5, 0x4F, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61);
const CFUUIDRef kIOUSBInterfaceUserClientTypeID =
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x2D, 0x97, 0x86, 0xC6, 0x9E, 0xF3, 0x11,
                                   0xD4, 0xAD, 0x51, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61);
const CFUUIDRef kIOCFPlugInInterfaceID =
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11,
                                   0xD4, 0x91, 0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F);
const CFUUIDRef kIOUSBDeviceInterfaceID187 =
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x3C, 0x9E, 0xE1, 0xEB, 0x24, 0x02, 0x11,
                                   0xB2, 0x8E, 0x7E, 0x00, 0x0A, 0x27, 0x80, 0x1E, 0x86);
const CFUUIDRef kIOUSBInterfaceInterfaceID =
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x73, 0xC9, 0x7A, 0xE8, 0x9E, 0xF3, 0x11,
                                   0xD4, 0xB1, 0xD0, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61);

namespace qor::iokit {
namespace {

// COM's IUnknown, which every interface answers to.
CFUUIDRef unknownInterfaceID() {
    static CFUUIDRef uuid =
        CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
    return uuid;
}

// A plug-in for one service; it makes the user client of the service's kind.
class PlugIn : public ComObject<PlugIn, IOCFPlugInInterface> {
public:
    static const IOCFPlugInInterface kTable;

    explicit PlugIn(std::shared_ptr<IOObject> service) : service_(std::move(service)) {}

private:
    static HRESULT queryInterface(void *self, REFIID iid, LPVOID *ppv) {
        if (!ppv) return E_NOINTERFACE;
        PlugIn *plugIn = from(self);
        *ppv = nullptr;
        if (sameInterface(iid, unknownInterfaceID()) ||
            sameInterface(iid, kIOCFPlugInInterfaceID)) {
            addRef(self);
            *ppv = self;
        } else if (auto device = std::dynamic_pointer_cast<DeviceService>(plugIn->service_)) {
            if (sameInterface(iid, kIOUSBDeviceInterfaceID187))
                *ppv = newDeviceClient(device->device);
        } else if (auto interface = std::dynamic_pointer_cast<InterfaceService>(plugIn->service_)) {
            if (sameInterface(iid, kIOUSBInterfaceInterfaceID))
                *ppv = newInterfaceClient(*interface);
        }
        return *ppv ? S_OK : E_NOINTERFACE;
    }

    const std::shared_ptr<IOObject> service_;
};

const IOCFPlugInInterface PlugIn::kTable = {
    ._reserved = nullptr,
    .QueryInterface = queryInterface,
    .AddRef = addRef,
    .Release = release,
};

} // namespace

bool sameInterface(const CFUUIDBytes &iid, CFUUIDRef uuid) {
    return CFUUIDBytesEqual(iid, CFUUIDGetUUIDBytes(uuid));
}

} // namespace qor::iokit

using namespace qor::iokit;

kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType,
                                                IOCFPlugInInterface ***theInterface,
                                                int32_t *theScore) {
    if (!theInterface) return kIOReturnBadArgument;
    *theInterface = nullptr;
    if (interfaceType != kIOCFPlugInInterfaceID) return kIOReturnUnsupported;
    std::shared_ptr<IOObject> found = Locked().find<IOObject>(service);
    std::shared_ptr<qor::usb::Device> device;
    if (auto d = std::dynamic_pointer_cast<DeviceService>(found);
        d && pluginType == kIOUSBDeviceUserClientTypeID)
        device = d->device;
    else if (auto i = std::dynamic_pointer_cast<InterfaceService>(found);
             i && pluginType == kIOUSBInterfaceUserClientTypeID)
        device = i->device;
    else
        return kIOReturnBadArgument;
    if (!device->attached()) return kIOReturnNoDevice;
    *theInterface = (new PlugIn(std::move(found)))->reference();
    if (theScore) *theScore = 0;
    return kIOReturnSuccess;
}

kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface **interface) {
    if (!interface) return kIOReturnBadArgument;
    (*interface)->Release(interface);
    return kIOReturnSuccess;
}

bool qor::usb::serviceIsSimulated(io_service_t service) {
    std::shared_ptr<IOObject> found = Locked().find<IOObject>(service);
    if (auto d = std::dynamic_pointer_cast<DeviceService>(found)) return d->device->simulated();
    if (auto i = std::dynamic_pointer_cast<InterfaceService>(found)) return i->device->simulated();
    return false;
}
