// The one small interface under the IOKit-style USB layer: what a bus of USB devices offers.
//
// Two backends implement it: the simulated cameras of sim/ and real ones through libusb/. The shape follows
// libusb's: descriptors are read without opening; open() is the exclusive claim on a device;
// transfers are synchronous with a time-out, except the asynchronous bulk read, whose completion
// arrives on a thread of the backend. Endpoints are USB endpoint addresses (0x86 = IN 6); the
// IOKit layer above maps its pipe indexes onto them.
#pragma once

#include <qorvanta/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qor::usb {

struct DeviceDescriptor {
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};

constexpr uint8_t kEndpointIn = 0x80;
constexpr uint8_t kTransferTypeBulk = 2;

struct EndpointDescriptor {
    uint8_t bEndpointAddress; // bit 7 set for IN
    uint8_t bmAttributes;     // bits 0-1: transfer type
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
};

// One alternate setting of one interface.
struct InterfaceDescriptor {
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    std::vector<EndpointDescriptor> endpoints;
};

struct ConfigDescriptor {
    uint8_t bConfigurationValue;
    uint8_t bmAttributes;
    uint8_t bMaxPower; // in 2 mA units
    // Every alternate setting of every interface, in descriptor order.
    std::vector<InterfaceDescriptor> interfaces;
};

struct SetupPacket {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

// The time-outs of a synchronous transfer, in milliseconds, as the host's caller gave them; 0 is
// none. noData ends a transfer during which nothing moved for that long, completion one that has
// not finished that long after it started. With both 0 the transfer waits as long as it takes.
struct Timeouts {
    uint32_t noDataMs;
    uint32_t completionMs;
};

// Completion of an asynchronous transfer: status (0, kIOReturnAborted, kIOReturnNoDevice, an
// overrun or a stall) and the number of bytes moved.
using TransferCompletion = std::function<void(IOReturn status, uint32_t transferred)>;

// One device on the bus, as long as it stays attached. When it leaves (unplugged, or an FX2
// re-enumerating) every call answers kIOReturnNoDevice and outstanding transfers complete with
// kIOReturnNoDevice; a device that comes back is a new Device.
class Device {
public:
    virtual ~Device() = default;

    virtual DeviceDescriptor deviceDescriptor() const = 0;
    virtual ConfigDescriptor configDescriptor(uint8_t index) const = 0;
    // Bus and port path packed as IOKit does (0xBBPP....), stable for one port.
    virtual uint32_t locationID() const = 0;
    virtual bool attached() const = 0;
    // A simulated camera rather than real hardware: it takes only the simulator's firmware and
    // bitstreams, and a real one never does.
    virtual bool simulated() const { return false; }

    // Exclusive claim: kIOReturnExclusiveAccess while another client holds the device.
    virtual IOReturn open() = 0;
    virtual void close() = 0;

    virtual IOReturn setConfiguration(uint8_t value) = 0;
    virtual IOReturn claimInterface(uint8_t number) = 0;
    virtual void releaseInterface(uint8_t number) = 0;
    virtual IOReturn setAlternateSetting(uint8_t interfaceNumber, uint8_t alternate) = 0;

    // Control transfer on endpoint 0. data holds wLength bytes (in or out); transferred gets
    // the length of the data stage that moved. A request the device refuses answers
    // kIOUSBPipeStalled; one it does not answer in time, kIOUSBTransactionTimeout.
    virtual IOReturn controlTransfer(const SetupPacket &setup, uint8_t *data, Timeouts timeouts,
                                     uint32_t &transferred) = 0;
    // Synchronous bulk transfer; the direction is the endpoint's. kIOReturnOverrun when the
    // device sent more than length bytes (the first length bytes are delivered).
    virtual IOReturn bulkTransfer(uint8_t endpoint, uint8_t *data, uint32_t length,
                                  Timeouts timeouts, uint32_t &transferred) = 0;
    // Queues a bulk read; completion runs later on a backend thread, exactly once.
    virtual IOReturn submitBulkRead(uint8_t endpoint, uint8_t *data, uint32_t length,
                                    TransferCompletion completion) = 0;
    // Ends every outstanding transfer on the endpoint (0: the default control pipe) with
    // kIOReturnAborted.
    virtual IOReturn abortEndpoint(uint8_t endpoint) = 0;
    virtual IOReturn clearHalt(uint8_t endpoint) = 0;
    // 0 when the endpoint can move data, kIOUSBPipeStalled when it is halted.
    virtual IOReturn endpointStatus(uint8_t endpoint) const = 0;
};

// Arrivals and departures, reported from any thread.
class BusListener {
public:
    virtual ~BusListener() = default;
    virtual void deviceArrived(const std::shared_ptr<Device> &device) = 0;
    virtual void deviceLeft(const std::shared_ptr<Device> &device) = 0;
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual std::string name() const = 0;
    // The devices attached now.
    virtual std::vector<std::shared_ptr<Device>> devices() = 0;
    // At most one listener; null stops the reports.
    virtual void setListener(BusListener *listener) = 0;
};

// The backends the IOKit layer enumerates, in the order they were added.
void addBackend(std::shared_ptr<Backend> backend);
void removeBackend(const std::shared_ptr<Backend> &backend);
std::vector<std::shared_ptr<Backend>> backends();

} // namespace qor::usb
