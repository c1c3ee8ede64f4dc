// The interface user client (IOUSBInterfaceInterface): alternate settings, pipes, and
// asynchronous reads completed on the run loop holding the interface's event source.
#include "platform/usb_internal.h"

#include <optional>
#include <utility>

namespace qor::iokit {
namespace {

using usb::Device;
using usb::EndpointDescriptor;

bool isIn(const EndpointDescriptor &endpoint) {
    return endpoint.bEndpointAddress & usb::kEndpointIn;
}

bool isBulk(const EndpointDescriptor &endpoint) {
    return (endpoint.bmAttributes & 0x03) == usb::kTransferTypeBulk;
}

class InterfaceClient : public ComObject<InterfaceClient, IOUSBInterfaceInterface> {
public:
    static const IOUSBInterfaceInterface kTable;

    explicit InterfaceClient(const InterfaceService &service)
        : device_(service.device), maxPacketSize0_(service.maxPacketSize0),
          alternates_(service.alternates) {}
    ~InterfaceClient() override {
        if (async_) async_->close();
        if (open_) device_->releaseInterface(number());
    }

private:
    // What a pipe index names once the interface's state has been checked.
    struct Pipe {
        IOReturn status;
        EndpointDescriptor endpoint; // pipe 0: zero
    };

    uint8_t number() const { return alternates_.front().bInterfaceNumber; }

    // The pipe of the current alternate setting, for an operation that needs the interface open.
    Pipe pipe(uint8_t pipeRef) const {
        std::lock_guard guard(lock_);
        if (!open_) return {kIOReturnNotOpen, {}};
        if (pipeRef == 0) return {kIOReturnSuccess, {}};
        auto &endpoints = alternates_[alternate_].endpoints;
        if (pipeRef > endpoints.size()) return {kIOUSBUnknownPipeErr, {}};
        return {kIOReturnSuccess, endpoints[pipeRef - 1]};
    }

    // A bulk pipe of the given direction, for the transfers.
    Pipe bulkPipe(uint8_t pipeRef, bool in) const {
        Pipe found = pipe(pipeRef);
        if (found.status == kIOReturnSuccess &&
            (pipeRef == 0 || !isBulk(found.endpoint) || isIn(found.endpoint) != in))
            found.status = kIOReturnBadArgument;
        return found;
    }

    static HRESULT queryInterface(void *self, REFIID iid, LPVOID *ppv) {
        if (!ppv) return E_NOINTERFACE;
        *ppv = nullptr;
        if (!sameInterface(iid, kIOUSBInterfaceInterfaceID)) return E_NOINTERFACE;
        addRef(self);
        *ppv = self;
        return S_OK;
    }

    // One source for the client's life: a streaming thread started again gets the same one.
    static IOReturn createAsyncEventSource(void *self, CFRunLoopSourceRef *source) {
        if (!source) return kIOReturnBadArgument;
        InterfaceClient *client = from(self);
        std::lock_guard guard(client->lock_);
        if (!client->async_) client->async_ = DeliveryQueue::create();
        *source = client->async_->source();
        return kIOReturnSuccess;
    }

    static CFRunLoopSourceRef getAsyncEventSource(void *self) {
        InterfaceClient *client = from(self);
        std::lock_guard guard(client->lock_);
        return client->async_ ? client->async_->source() : nullptr;
    }

    static IOReturn open(void *self) {
        InterfaceClient *client = from(self);
        {
            std::lock_guard guard(client->lock_);
            if (client->open_) return kIOReturnExclusiveAccess;
        }
        IOReturn result = client->device_->claimInterface(client->number());
        if (result == kIOReturnSuccess) {
            std::lock_guard guard(client->lock_);
            client->open_ = true;
        }
        return result;
    }

    static IOReturn close(void *self) {
        InterfaceClient *client = from(self);
        {
            std::lock_guard guard(client->lock_);
            if (!std::exchange(client->open_, false)) return kIOReturnNotOpen;
        }
        client->device_->releaseInterface(client->number());
        return kIOReturnSuccess;
    }

    static IOReturn getInterfaceNumber(void *self, uint8_t *intfNumber) {
        if (!intfNumber) return kIOReturnBadArgument;
        *intfNumber = from(self)->number();
        return kIOReturnSuccess;
    }

    static IOReturn getAlternateSetting(void *self, uint8_t *intfAltSetting) {
        if (!intfAltSetting) return kIOReturnBadArgument;
        InterfaceClient *client = from(self);
        std::lock_guard guard(client->lock_);
        *intfAltSetting = client->alternates_[client->alternate_].bAlternateSetting;
        return kIOReturnSuccess;
    }

    static IOReturn getNumEndpoints(void *self, uint8_t *intfNumEndpoints) {
        if (!intfNumEndpoints) return kIOReturnBadArgument;
        InterfaceClient *client = from(self);
        std::lock_guard guard(client->lock_);
        *intfNumEndpoints = uint8_t(client->alternates_[client->alternate_].endpoints.size());
        return kIOReturnSuccess;
    }

    static IOReturn setAlternateInterface(void *self, uint8_t alternateSetting) {
        InterfaceClient *client = from(self);
        std::optional<size_t> index;
        {
            std::lock_guard guard(client->lock_);
            if (!client->open_) return kIOReturnNotOpen;
            for (size_t i = 0; i < client->alternates_.size(); ++i)
                if (client->alternates_[i].bAlternateSetting == alternateSetting) index = i;
        }
        if (!index) return kIOReturnBadArgument;
        IOReturn result = client->device_->setAlternateSetting(client->number(), alternateSetting);
        if (result == kIOReturnSuccess) {
            std::lock_guard guard(client->lock_);
            client->alternate_ = *index;
        }
        return result;
    }

    static IOReturn getPipeProperties(void *self, uint8_t pipeRef, uint8_t *direction,
                                      uint8_t *number, uint8_t *transferType,
                                      uint16_t *maxPacketSize, uint8_t *interval) {
        if (!direction || !number || !transferType || !maxPacketSize || !interval)
            return kIOReturnBadArgument;
        InterfaceClient *client = from(self);
        std::lock_guard guard(client->lock_);
        auto &endpoints = client->alternates_[client->alternate_].endpoints;
        if (pipeRef == 0) {
            *direction = kUSBAnyDirn;
            *number = 0;
            *transferType = kUSBControl;
            *maxPacketSize = client->maxPacketSize0_;
            *interval = 0;
            return kIOReturnSuccess;
        }
        if (pipeRef > endpoints.size()) return kIOUSBUnknownPipeErr;
        const EndpointDescriptor &endpoint = endpoints[pipeRef - 1];
        *direction = isIn(endpoint) ? kUSBIn : kUSBOut;
        *number = endpoint.bEndpointAddress & 0x0F;
        *transferType = endpoint.bmAttributes & 0x03;
        *maxPacketSize = endpoint.wMaxPacketSize;
        *interval = endpoint.bInterval;
        return kIOReturnSuccess;
    }

    // Status and stall clearing; the default pipe answers 0 without reaching the device, whose
    // control endpoint clears its own stall at the next request.
    template <auto Operation> static IOReturn onEndpoint(void *self, uint8_t pipeRef) {
        InterfaceClient *client = from(self);
        Pipe found = client->pipe(pipeRef);
        if (found.status != kIOReturnSuccess || pipeRef == 0) return found.status;
        return ((*client->device_).*Operation)(found.endpoint.bEndpointAddress);
    }

    // An abort reaches the device on every pipe: on the default pipe it ends the control
    // request in progress.
    static IOReturn abortPipe(void *self, uint8_t pipeRef) {
        InterfaceClient *client = from(self);
        Pipe found = client->pipe(pipeRef);
        if (found.status != kIOReturnSuccess) return found.status;
        return client->device_->abortEndpoint(found.endpoint.bEndpointAddress);
    }

    static IOReturn controlRequestTO(void *self, uint8_t pipeRef, IOUSBDevRequestTO *req) {
        if (!req) return kIOReturnBadArgument;
        InterfaceClient *client = from(self);
        Pipe found = client->pipe(pipeRef);
        if (found.status != kIOReturnSuccess) return found.status;
        if (pipeRef != 0) return kIOReturnBadArgument;
        return deviceRequest(*client->device_, *req);
    }

    static IOReturn readPipeTO(void *self, uint8_t pipeRef, void *buf, uint32_t *size,
                               uint32_t noDataTimeout, uint32_t completionTimeout) {
        if (!buf || !size) return kIOReturnBadArgument;
        InterfaceClient *client = from(self);
        Pipe found = client->bulkPipe(pipeRef, true);
        if (found.status != kIOReturnSuccess) return found.status;
        uint32_t transferred = 0;
        IOReturn result = client->device_->bulkTransfer(
            found.endpoint.bEndpointAddress, static_cast<uint8_t *>(buf), *size,
            {noDataTimeout, completionTimeout}, transferred);
        *size = transferred;
        return result;
    }

    static IOReturn writePipeTO(void *self, uint8_t pipeRef, void *buf, uint32_t size,
                                uint32_t noDataTimeout, uint32_t completionTimeout) {
        if (!buf && size) return kIOReturnBadArgument;
        InterfaceClient *client = from(self);
        Pipe found = client->bulkPipe(pipeRef, false);
        if (found.status != kIOReturnSuccess) return found.status;
        uint32_t transferred = 0;
        return client->device_->bulkTransfer(found.endpoint.bEndpointAddress,
                                             static_cast<uint8_t *>(buf), size,
                                             {noDataTimeout, completionTimeout}, transferred);
    }

    // The completion arrives on a backend thread and is handed to the event source's run loop.
    // It holds the queue, not the client: after the client is gone the closed queue drops it.
    static IOReturn readPipeAsync(void *self, uint8_t pipeRef, void *buf, uint32_t size,
                                  IOAsyncCallback1 callback, void *refcon) {
        if (!buf || !callback) return kIOReturnBadArgument;
        InterfaceClient *client = from(self);
        Pipe found = client->bulkPipe(pipeRef, true);
        if (found.status != kIOReturnSuccess) return found.status;
        std::shared_ptr<DeliveryQueue> queue;
        {
            std::lock_guard guard(client->lock_);
            queue = client->async_;
        }
        if (!queue) return kIOReturnNoResources;
        return client->device_->submitBulkRead(
            found.endpoint.bEndpointAddress, static_cast<uint8_t *>(buf), size,
            [queue, callback, refcon](IOReturn status, uint32_t transferred) {
                queue->post([callback, refcon, status, transferred] {
                    callback(refcon, status, reinterpret_cast<void *>(uintptr_t(transferred)));
                });
            });
    }

    const std::shared_ptr<Device> device_;
    const uint8_t maxPacketSize0_;
    const std::vector<usb::InterfaceDescriptor> alternates_; // never empty
    mutable std::mutex lock_;
    bool open_ = false;
    size_t alternate_ = 0; // index into alternates_
    std::shared_ptr<DeliveryQueue> async_;
};

const IOUSBInterfaceInterface InterfaceClient::kTable = {
    ._reserved = nullptr,
    .QueryInterface = queryInterface,
    .AddRef = addRef,
    .Release = release,
    .CreateInterfaceAsyncEventSource = createAsyncEventSource,
    .GetInterfaceAsyncEventSource = getAsyncEventSource,
    .USBInterfaceOpen = open,
    .USBInterfaceClose = close,
    .GetInterfaceNumber = getInterfaceNumber,
    .GetAlternateSetting = getAlternateSetting,
    .GetNumEndpoints = getNumEndpoints,
    .SetAlternateInterface = setAlternateInterface,
    .GetPipeProperties = getPipeProperties,
    .GetPipeStatus = onEndpoint<&Device::endpointStatus>,
    .AbortPipe = abortPipe,
    .ClearPipeStall = onEndpoint<&Device::clearHalt>,
    .ClearPipeStallBothEnds = onEndpoint<&Device::clearHalt>,
    .ControlRequestTO = controlRequestTO,
    .ReadPipeTO = readPipeTO,
    .WritePipeTO = writePipeTO,
    .ReadPipeAsync = readPipeAsync,
};

} // namespace

IOUSBInterfaceInterface **newInterfaceClient(const InterfaceService &service) {
    return (new InterfaceClient(service))->reference();
}

} // namespace qor::iokit
