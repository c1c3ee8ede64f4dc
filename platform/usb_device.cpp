// The device user client (IOUSBDeviceInterface187) over one backend device.
#include "platform/usb_internal.h"

#include <algorithm>
#include <iterator>
#include <optional>

namespace qor::iokit {
namespace {

using usb::ConfigDescriptor;
using usb::Device;

IOUSBConfigurationDescriptor configurationHeader(const ConfigDescriptor &config) {
    constexpr uint8_t kConfigurationLength = 9, kInterfaceLength = 9, kEndpointLength = 7;
    constexpr uint8_t kConfigurationType = 2;
    unsigned total = kConfigurationLength;
    std::vector<uint8_t> numbers;
    for (auto &interface : config.interfaces) {
        total += kInterfaceLength + kEndpointLength * unsigned(interface.endpoints.size());
        if (std::find(numbers.begin(), numbers.end(), interface.bInterfaceNumber) == numbers.end())
            numbers.push_back(interface.bInterfaceNumber);
    }
    return {.bLength = kConfigurationLength,
            .bDescriptorType = kConfigurationType,
            .wTotalLength = uint16_t(total),
            .bNumInterfaces = uint8_t(numbers.size()),
            .bConfigurationValue = config.bConfigurationValue,
            .iConfiguration = 0,
            .bmAttributes = config.bmAttributes,
            .MaxPower = config.bMaxPower};
}

bool wanted(uint16_t asked, uint8_t have) {
    return asked == kIOUSBFindInterfaceDontCare || asked == have;
}

class DeviceClient : public ComObject<DeviceClient, IOUSBDeviceInterface187> {
public:
    static const IOUSBDeviceInterface187 kTable;

    explicit DeviceClient(std::shared_ptr<Device> device)
        : device_(std::move(device)), descriptor_(device_->deviceDescriptor()),
          locationID_(device_->locationID()) {}
    ~DeviceClient() override {
        if (open_) device_->close();
    }

private:
    static HRESULT queryInterface(void *self, REFIID iid, LPVOID *ppv) {
        if (!ppv) return E_NOINTERFACE;
        *ppv = nullptr;
        if (!sameInterface(iid, kIOUSBDeviceInterfaceID187)) return E_NOINTERFACE;
        addRef(self);
        *ppv = self;
        return S_OK;
    }

    static IOReturn open(void *self) {
        DeviceClient *client = from(self);
        if (client->open_) return kIOReturnExclusiveAccess;
        IOReturn result = client->device_->open();
        if (result == kIOReturnSuccess) client->open_ = true;
        return result;
    }

    static IOReturn close(void *self) {
        DeviceClient *client = from(self);
        if (!client->open_.exchange(false)) return kIOReturnNotOpen;
        client->device_->close();
        return kIOReturnSuccess;
    }

    // The descriptor getters: one descriptor field each, no open needed.
    template <auto Field, class Value> static IOReturn get(void *self, Value *value) {
        if (!value) return kIOReturnBadArgument;
        *value = from(self)->descriptor_.*Field;
        return kIOReturnSuccess;
    }

    static IOReturn getLocationID(void *self, uint32_t *locationID) {
        if (!locationID) return kIOReturnBadArgument;
        *locationID = from(self)->locationID_;
        return kIOReturnSuccess;
    }

    // The header stays at the same address for the client's life.
    static IOReturn getConfigurationDescriptorPtr(void *self, uint8_t index,
                                                  IOUSBConfigurationDescriptorPtr *desc) {
        if (!desc) return kIOReturnBadArgument;
        DeviceClient *client = from(self);
        if (index >= client->descriptor_.bNumConfigurations) return kIOReturnBadArgument;
        IOUSBConfigurationDescriptor header =
            configurationHeader(client->device_->configDescriptor(index));
        std::lock_guard guard(client->headersLock_);
        auto [slot, made] = client->headers_.try_emplace(index, header);
        *desc = &slot->second;
        return kIOReturnSuccess;
    }

    static IOReturn getConfiguration(void *self, uint8_t *configNum) {
        if (!configNum) return kIOReturnBadArgument;
        *configNum = from(self)->configuration_;
        return kIOReturnSuccess;
    }

    static IOReturn setConfiguration(void *self, uint8_t configNum) {
        DeviceClient *client = from(self);
        if (!client->open_) return kIOReturnNotOpen;
        IOReturn result = client->device_->setConfiguration(configNum);
        if (result == kIOReturnSuccess) client->configuration_ = configNum;
        return result;
    }

    // One service per interface of the current configuration, described by its alternate
    // setting 0; none while the device is unconfigured.
    static IOReturn createInterfaceIterator(void *self, IOUSBFindInterfaceRequest *req,
                                            io_iterator_t *iter) {
        if (!req || !iter) return kIOReturnBadArgument;
        DeviceClient *client = from(self);
        std::vector<std::shared_ptr<IOObject>> services;
        if (auto config = client->currentConfiguration()) {
            for (auto &first : config->interfaces) {
                if (first.bAlternateSetting != 0) continue;
                if (!wanted(req->bInterfaceClass, first.bInterfaceClass) ||
                    !wanted(req->bInterfaceSubClass, first.bInterfaceSubClass) ||
                    !wanted(req->bInterfaceProtocol, first.bInterfaceProtocol) ||
                    !wanted(req->bAlternateSetting, first.bAlternateSetting))
                    continue;
                std::vector<usb::InterfaceDescriptor> alternates;
                std::copy_if(config->interfaces.begin(), config->interfaces.end(),
                             std::back_inserter(alternates), [&](auto &alternate) {
                                 return alternate.bInterfaceNumber == first.bInterfaceNumber;
                             });
                services.push_back(std::make_shared<InterfaceService>(
                    client->device_, client->descriptor_.bMaxPacketSize0, std::move(alternates)));
            }
        }
        *iter = Locked().newIterator(services);
        return kIOReturnSuccess;
    }

    static IOReturn request(void *self, IOUSBDevRequest *req) {
        if (!req) return kIOReturnBadArgument;
        IOUSBDevRequestTO timed{.bmRequestType = req->bmRequestType,
                                .bRequest = req->bRequest,
                                .wValue = req->wValue,
                                .wIndex = req->wIndex,
                                .wLength = req->wLength,
                                .pData = req->pData,
                                .wLenDone = 0,
                                .noDataTimeout = kUSBDefaultControlNoDataTimeoutMS,
                                .completionTimeout = 0};
        IOReturn result = deviceRequest(*from(self)->device_, timed);
        req->wLenDone = timed.wLenDone;
        return result;
    }

    static IOReturn requestTO(void *self, IOUSBDevRequestTO *req) {
        if (!req) return kIOReturnBadArgument;
        return deviceRequest(*from(self)->device_, *req);
    }

    std::optional<ConfigDescriptor> currentConfiguration() const {
        uint8_t value = configuration_;
        if (value == 0) return std::nullopt;
        for (uint8_t index = 0; index < descriptor_.bNumConfigurations; ++index) {
            ConfigDescriptor config = device_->configDescriptor(index);
            if (config.bConfigurationValue == value) return config;
        }
        return std::nullopt;
    }

    const std::shared_ptr<Device> device_;
    const usb::DeviceDescriptor descriptor_;
    const uint32_t locationID_;
    std::atomic<bool> open_{false};
    std::atomic<uint8_t> configuration_{0};
    std::mutex headersLock_;
    std::map<uint8_t, IOUSBConfigurationDescriptor> headers_; // nodes never move
};

using D = usb::DeviceDescriptor;

const IOUSBDeviceInterface187 DeviceClient::kTable = {
    ._reserved = nullptr,
    .QueryInterface = queryInterface,
    .AddRef = addRef,
    .Release = release,
    .USBDeviceOpen = open,
    .USBDeviceClose = close,
    .GetDeviceClass = get<&D::bDeviceClass, uint8_t>,
    .GetDeviceSubClass = get<&D::bDeviceSubClass, uint8_t>,
    .GetDeviceVendor = get<&D::idVendor, uint16_t>,
    .GetDeviceProduct = get<&D::idProduct, uint16_t>,
    .GetDeviceReleaseNumber = get<&D::bcdDevice, uint16_t>,
    .GetLocationID = getLocationID,
    .GetNumberOfConfigurations = get<&D::bNumConfigurations, uint8_t>,
    .GetConfigurationDescriptorPtr = getConfigurationDescriptorPtr,
    .GetConfiguration = getConfiguration,
    .SetConfiguration = setConfiguration,
    .CreateInterfaceIterator = createInterfaceIterator,
    .DeviceRequest = request,
    .DeviceRequestTO = requestTO,
    .USBGetManufacturerStringIndex = get<&D::iManufacturer, uint8_t>,
    .USBGetProductStringIndex = get<&D::iProduct, uint8_t>,
    .USBGetSerialNumberStringIndex = get<&D::iSerialNumber, uint8_t>,
};

} // namespace

IOUSBDeviceInterface187 **newDeviceClient(const std::shared_ptr<Device> &device) {
    return (new DeviceClient(device))->reference();
}

IOReturn deviceRequest(Device &device, IOUSBDevRequestTO &request) {
    request.wLenDone = 0;
    if (request.wLength && !request.pData) return kIOReturnBadArgument;
    usb::SetupPacket setup{request.bmRequestType, request.bRequest, request.wValue, request.wIndex,
                           request.wLength};
    uint32_t transferred = 0;
    IOReturn result =
        device.controlTransfer(setup, static_cast<uint8_t *>(request.pData),
                               {request.noDataTimeout, request.completionTimeout}, transferred);
    request.wLenDone = transferred;
    return result;
}

} // namespace qor::iokit
