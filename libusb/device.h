// One USB device reached through libusb, for as long as it stays attached: descriptors read
// without opening, the exclusive open, interfaces, and transfers that are all asynchronous
// libusb transfers underneath, so that an abort, a departure or a close can end every one.
#pragma once

#include "libusb/session.h"
#include "platform/usb_backend.h"

#include <libusb.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qor::libusb {

class LibusbDevice final : public usb::Device, public std::enable_shared_from_this<LibusbDevice> {
public:
    // Takes over one reference to device. Null when its descriptors cannot be read.
    static std::shared_ptr<LibusbDevice> create(std::shared_ptr<Session> session,
                                                libusb_device *device);
    ~LibusbDevice() override;

    libusb_device *libusbDevice() const { return device_; }
    // The device left the bus (a hotplug departure or a rescan that no longer finds it).
    void departed();
    // The backend ends: close what is open and let go of libusb.
    void detach();

    // usb::Device
    usb::DeviceDescriptor deviceDescriptor() const override { return descriptor_; }
    usb::ConfigDescriptor configDescriptor(uint8_t index) const override;
    uint32_t locationID() const override { return location_; }
    bool attached() const override;
    bool simulated() const override { return simulated_; }
    IOReturn open() override;
    void close() override;
    IOReturn setConfiguration(uint8_t value) override;
    IOReturn claimInterface(uint8_t number) override;
    void releaseInterface(uint8_t number) override;
    IOReturn setAlternateSetting(uint8_t interfaceNumber, uint8_t alternate) override;
    IOReturn controlTransfer(const usb::SetupPacket &setup, uint8_t *data, usb::Timeouts timeouts,
                             uint32_t &transferred) override;
    IOReturn bulkTransfer(uint8_t endpoint, uint8_t *data, uint32_t length, usb::Timeouts timeouts,
                          uint32_t &transferred) override;
    IOReturn submitBulkRead(uint8_t endpoint, uint8_t *data, uint32_t length,
                            usb::TransferCompletion completion) override;
    IOReturn abortEndpoint(uint8_t endpoint) override;
    IOReturn clearHalt(uint8_t endpoint) override;
    IOReturn endpointStatus(uint8_t endpoint) const override;

    LibusbDevice(std::shared_ptr<Session> session, libusb_device *device,
                 usb::DeviceDescriptor descriptor, std::vector<usb::ConfigDescriptor> configs,
                 uint8_t bus, std::string ports, uint32_t location);

private:
    struct Transfer;

    static void LIBUSB_CALL transferDone(libusb_transfer *transfer);
    void finish(Transfer &transfer);

    // A call that uses the open handle outside the lock: counted, so that close waits for it.
    IOReturn beginUse(libusb_device_handle *&handle);
    void endUse(int libusbResult);
    // Runs one synchronous libusb call on the open handle.
    template <class Call> IOReturn call(const char *name, Call call);

    std::shared_ptr<Transfer> newTransfer(uint8_t endpoint, bool synchronous);
    IOReturn submit(const std::shared_ptr<Transfer> &transfer);
    IOReturn wait(const std::shared_ptr<Transfer> &transfer, uint32_t &transferred);
    // Cancels the submitted transfers that match (endpoint, or all with -1), ending them with
    // reason unless something ends them first.
    void cancel(int endpoint, IOReturn reason);
    // Marks the device gone: from now on nothing is sent to it. Returns whether it was news.
    bool markGoneLocked();
    void onError(int error, const char *name);

    const std::shared_ptr<Session> session_;
    const usb::DeviceDescriptor descriptor_;
    const std::vector<usb::ConfigDescriptor> configs_;
    const uint8_t bus_;
    const std::string ports_;
    const uint32_t location_;
    const bool simulated_;

    mutable std::mutex mutex_;
    std::condition_variable changed_; // a transfer ended, a use ended, a close finished
    libusb_device *device_;           // one reference; null once detached
    libusb_device_handle *handle_ = nullptr;
    bool open_ = false;    // the in-process exclusive claim, from open() to the end of close()
    bool closing_ = false; // close() is waiting for calls and transfers to end
    bool gone_ = false;
    // libusb_close would abort on this handle (see setAlternateSetting): it is left open.
    bool unsafeToClose_ = false;
    int users_ = 0;
    std::set<uint8_t> claimed_;
    std::set<uint8_t> halted_; // endpoints that stalled and were not cleared since
    std::vector<std::shared_ptr<Transfer>> transfers_; // submitted or being submitted
    // Transfers close() gave up waiting for: libusb may still hold them until the handle closes.
    std::vector<std::shared_ptr<Transfer>> abandoned_;
};

} // namespace qor::libusb
