// A libusb device behind the backend interface. Every transfer is an asynchronous libusb
// transfer that the event thread completes: the synchronous ones wait for it, so that aborts,
// departures and closes can cancel all of them alike.
#include "libusb/device.h"

#include "libusb/location.h"
#include "platform/log.h"

#include <qorvanta/status.h>

#include "platform/usb.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qor::libusb {
namespace {

// How long close() waits for cancelled transfers before it gives up on them: a device that left
// without libusb noticing may never answer.
constexpr auto kCloseWait = std::chrono::seconds(5);

// libusb has a single time-out per transfer: the completion time-out, else the no-data one.
unsigned int timeoutMs(usb::Timeouts timeouts) {
    return timeouts.completionMs ? timeouts.completionMs : timeouts.noDataMs;
}

usb::ConfigDescriptor convert(const libusb_config_descriptor &config) {
    usb::ConfigDescriptor out{config.bConfigurationValue, config.bmAttributes, config.MaxPower, {}};
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface &interface = config.interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor &alt = interface.altsetting[a];
            usb::InterfaceDescriptor entry{alt.bInterfaceNumber,   alt.bAlternateSetting,
                                           alt.bInterfaceClass,    alt.bInterfaceSubClass,
                                           alt.bInterfaceProtocol, {}};
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor &ep = alt.endpoint[e];
                entry.endpoints.push_back(
                    {ep.bEndpointAddress, ep.bmAttributes, ep.wMaxPacketSize, ep.bInterval});
            }
            out.interfaces.push_back(std::move(entry));
        }
    }
    return out;
}

} // namespace

// One libusb transfer and what its caller waits for.
struct LibusbDevice::Transfer {
    Transfer(LibusbDevice &owner, uint8_t address, bool sync)
        : device(owner), endpoint(address), synchronous(sync) {}
    ~Transfer() {
        if (transfer) libusb_free_transfer(transfer);
    }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    LibusbDevice &device;
    libusb_transfer *transfer = nullptr;
    const uint8_t endpoint; // 0: the default control pipe
    const bool synchronous;
    const char *name = "";
    // A control transfer's setup packet and data stage, and where an IN data stage goes.
    std::vector<uint8_t> control;
    uint8_t *controlIn = nullptr;
    uint64_t readBytes = 0; // a bulk read's length, counted against the usbfs memory limit
    usb::TransferCompletion completion;

    // Guarded by the device's mutex.
    bool submitted = false;
    bool cancelIssued = false;
    IOReturn cancelReason = 0;
    bool done = false;
    IOReturn status = 0;
    uint32_t transferred = 0;
};

std::shared_ptr<LibusbDevice> LibusbDevice::create(std::shared_ptr<Session> session,
                                                   libusb_device *device) {
    libusb_device_descriptor d{};
    if (int result = libusb_get_device_descriptor(device, &d); result < 0) {
        session->errors.note(result, "libusb_get_device_descriptor");
        libusb_unref_device(device);
        return nullptr;
    }
    const usb::DeviceDescriptor descriptor{
        d.bcdUSB,          d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol,
        d.bMaxPacketSize0, d.idVendor,     d.idProduct,       d.bcdDevice,
        d.iManufacturer,   d.iProduct,     d.iSerialNumber,   d.bNumConfigurations};
    std::vector<usb::ConfigDescriptor> configs;
    for (uint8_t index = 0; index < d.bNumConfigurations; ++index) {
        libusb_config_descriptor *config = nullptr;
        if (int result = libusb_get_config_descriptor(device, index, &config); result < 0) {
            session->errors.note(result, "libusb_get_config_descriptor");
            configs.push_back({});
            continue;
        }
        configs.push_back(convert(*config));
        libusb_free_config_descriptor(config);
    }
    uint8_t ports[8];
    int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    if (depth < 0) depth = 0;
    const std::span<const uint8_t> path(ports, size_t(depth));
    const uint8_t bus = libusb_get_bus_number(device);
    auto created =
        std::make_shared<LibusbDevice>(std::move(session), device, descriptor, std::move(configs),
                                       bus, portPath(path), libusb::locationID(bus, path));
    created->session_->enroll(created);
    return created;
}

LibusbDevice::LibusbDevice(std::shared_ptr<Session> session, libusb_device *device,
                           usb::DeviceDescriptor descriptor,
                           std::vector<usb::ConfigDescriptor> configs, uint8_t bus,
                           std::string ports, uint32_t location)
    : session_(std::move(session)), descriptor_(descriptor), configs_(std::move(configs)),
      bus_(bus), ports_(std::move(ports)), location_(location),
      // Inside a umockdev testbed every node is emulated by test code from the simulator.
      simulated_(std::getenv("UMOCKDEV_DIR") != nullptr), device_(device) {}

LibusbDevice::~LibusbDevice() {
    close();
    if (device_) libusb_unref_device(std::exchange(device_, nullptr));
}

usb::ConfigDescriptor LibusbDevice::configDescriptor(uint8_t index) const {
    return index < configs_.size() ? configs_[index] : usb::ConfigDescriptor{};
}

bool LibusbDevice::attached() const {
    std::lock_guard lock(mutex_);
    return !gone_;
}

bool LibusbDevice::markGoneLocked() {
    if (gone_) return false;
    gone_ = true;
    changed_.notify_all();
    return true;
}

void LibusbDevice::onError(int error, const char *name) {
    session_->errors.note(error, name);
}

void LibusbDevice::departed() {
    bool news;
    {
        std::lock_guard lock(mutex_);
        news = markGoneLocked();
    }
    if (news) cancel(-1, kIOReturnNoDevice);
}

void LibusbDevice::detach() {
    {
        std::lock_guard lock(mutex_);
        markGoneLocked();
    }
    close();
    libusb_device *device;
    {
        std::lock_guard lock(mutex_);
        device = std::exchange(device_, nullptr);
    }
    if (device) libusb_unref_device(device);
}

// ---- Open and close -------------------------------------------------------------------------

IOReturn LibusbDevice::open() {
    libusb_device *device;
    {
        std::lock_guard lock(mutex_);
        if (gone_ || !device_) return kIOReturnNoDevice;
        if (open_) return kIOReturnExclusiveAccess;
        open_ = true;
        ++users_;
        device = device_;
    }
    libusb_device_handle *handle = nullptr;
    const int result = libusb_open(device, &handle);
    {
        std::lock_guard lock(mutex_);
        --users_;
        if (result < 0) {
            open_ = false;
            if (result == LIBUSB_ERROR_NO_DEVICE) markGoneLocked();
        } else {
            handle_ = handle;
        }
        changed_.notify_all();
    }
    if (result < 0) {
        onError(result, "libusb_open");
        if (result == LIBUSB_ERROR_ACCESS) session_->permissionDenied(location_, bus_, ports_);
        return ioReturnFromError(result);
    }
    return kIOReturnSuccess;
}

void LibusbDevice::close() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !closing_; });
        if (!handle_) return;
        closing_ = true;
        changed_.wait(lock, [&] { return users_ == 0; });
    }
    cancel(-1, kIOReturnAborted);

    // Wait for the cancelled transfers; the event thread itself handles events meanwhile.
    const auto giveUpAt = std::chrono::steady_clock::now() + kCloseWait;
    auto ended = [&] { return transfers_.empty(); };
    if (session_->onEventThread()) {
        session_->handleEventsUntil([&] {
            std::lock_guard lock(mutex_);
            return ended() || std::chrono::steady_clock::now() >= giveUpAt;
        });
    }
    std::vector<std::pair<usb::TransferCompletion, IOReturn>> completions;
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, giveUpAt, ended)) {
            // libusb never gave these back. They end here, once; libusb lets go of them when the
            // handle closes, and they are freed after that.
            qor::platform::log(
                qor::platform::LogLevel::Warning,
                "libusb: %zu transfer(s) on the device at bus %03u port %s did not end "
                "after being cancelled; closing anyway",
                transfers_.size(), unsigned(bus_), ports_.c_str());
            for (auto &transfer : transfers_) {
                transfer->done = true;
                transfer->status = gone_ ? kIOReturnNoDevice : kIOReturnAborted;
                transfer->transferred = 0;
                if (transfer->readBytes) session_->usbfs.readEnded(transfer->readBytes);
                if (!transfer->synchronous)
                    completions.emplace_back(std::move(transfer->completion), transfer->status);
                abandoned_.push_back(std::move(transfer));
            }
            transfers_.clear();
            changed_.notify_all();
        }
    }
    for (auto &[completion, status] : completions)
        session_->post(
            [completion = std::move(completion), status = status] { completion(status, 0); });

    libusb_device_handle *handle;
    std::set<uint8_t> claimed;
    bool gone, unsafe;
    {
        std::lock_guard lock(mutex_);
        handle = std::exchange(handle_, nullptr);
        claimed.swap(claimed_);
        halted_.clear();
        gone = gone_;
        unsafe = std::exchange(unsafeToClose_, false);
    }
    // A device that has gone is sent nothing more: its interfaces went with it.
    for (uint8_t number : claimed) {
        if (gone) break;
        const int result = libusb_release_interface(handle, number);
        if (result == LIBUSB_ERROR_NO_DEVICE) {
            std::lock_guard lock(mutex_);
            gone = true;
            markGoneLocked();
        } else if (result < 0) {
            onError(result, "libusb_release_interface");
        }
    }
    if (!unsafe) libusb_close(handle);
    std::vector<std::shared_ptr<Transfer>> abandoned;
    {
        std::lock_guard lock(mutex_);
        abandoned.swap(abandoned_);
        closing_ = false;
        open_ = false;
        changed_.notify_all();
    }
}

// ---- Synchronous calls ----------------------------------------------------------------------

IOReturn LibusbDevice::beginUse(libusb_device_handle *&handle) {
    std::lock_guard lock(mutex_);
    if (gone_) return kIOReturnNoDevice;
    if (!handle_ || closing_) return kIOReturnNotOpen;
    ++users_;
    handle = handle_;
    return kIOReturnSuccess;
}

void LibusbDevice::endUse(int libusbResult) {
    bool news = false;
    {
        std::lock_guard lock(mutex_);
        --users_;
        if (libusbResult == LIBUSB_ERROR_NO_DEVICE) news = markGoneLocked();
        changed_.notify_all();
    }
    if (news) cancel(-1, kIOReturnNoDevice);
}

template <class Call> IOReturn LibusbDevice::call(const char *name, Call call) {
    libusb_device_handle *handle = nullptr;
    if (IOReturn status = beginUse(handle)) return status;
    const int result = call(handle);
    endUse(result);
    if (result < 0) {
        onError(result, name);
        return ioReturnFromError(result);
    }
    return kIOReturnSuccess;
}

IOReturn LibusbDevice::setConfiguration(uint8_t value) {
    IOReturn result = call("libusb_set_configuration", [&](libusb_device_handle *handle) {
        return libusb_set_configuration(handle, value);
    });
    if (result == kIOReturnSuccess) {
        std::lock_guard lock(mutex_);
        halted_.clear();
    }
    return result;
}

IOReturn LibusbDevice::claimInterface(uint8_t number) {
    IOReturn result = call("libusb_claim_interface", [&](libusb_device_handle *handle) {
        // Only a kernel driver that is bound is detached (and given back at the release): the
        // detach request itself fails on hosts where no driver can be bound.
        const int active = libusb_kernel_driver_active(handle, number);
        if (active == LIBUSB_ERROR_NO_DEVICE) return active;
        libusb_set_auto_detach_kernel_driver(handle, active == 1);
        return libusb_claim_interface(handle, number);
    });
    if (result == kIOReturnSuccess) {
        std::lock_guard lock(mutex_);
        claimed_.insert(number);
    }
    return result;
}

void LibusbDevice::releaseInterface(uint8_t number) {
    {
        std::lock_guard lock(mutex_);
        if (!claimed_.count(number)) return;
        if (gone_) {
            claimed_.erase(number);
            return;
        }
    }
    call("libusb_release_interface",
         [&](libusb_device_handle *handle) { return libusb_release_interface(handle, number); });
    std::lock_guard lock(mutex_);
    claimed_.erase(number);
}

IOReturn LibusbDevice::setAlternateSetting(uint8_t interfaceNumber, uint8_t alternate) {
    {
        std::lock_guard lock(mutex_);
        if (gone_) return kIOReturnNoDevice;
        if (!claimed_.count(interfaceNumber)) return kIOReturnNotOpen;
    }
    int outcome = 0;
    IOReturn result = call("libusb_set_interface_alt_setting", [&](libusb_device_handle *handle) {
        return outcome = libusb_set_interface_alt_setting(handle, interfaceNumber, alternate);
    });
    std::lock_guard lock(mutex_);
    // libusb 1.0.26 answers a device it already knows gone by releasing a lock it never took,
    // and libusb_close then aborts on that lock: such a handle is left open.
    if (outcome == LIBUSB_ERROR_NO_DEVICE) unsafeToClose_ = true;
    // A new setting resets its endpoints.
    if (result == kIOReturnSuccess) halted_.clear();
    return result;
}

IOReturn LibusbDevice::clearHalt(uint8_t endpoint) {
    IOReturn result = call("libusb_clear_halt", [&](libusb_device_handle *handle) {
        return libusb_clear_halt(handle, endpoint);
    });
    if (result == kIOReturnSuccess) {
        std::lock_guard lock(mutex_);
        halted_.erase(endpoint);
    }
    return result;
}

// The host's view of the pipe, as IOKit keeps it: halted from a stall until cleared.
IOReturn LibusbDevice::endpointStatus(uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    if (gone_) return kIOReturnNoDevice;
    if (!handle_ || closing_) return kIOReturnNotOpen;
    return halted_.count(endpoint) ? kIOUSBPipeStalled : kIOReturnSuccess;
}

// ---- Transfers ------------------------------------------------------------------------------

std::shared_ptr<LibusbDevice::Transfer> LibusbDevice::newTransfer(uint8_t endpoint,
                                                                  bool synchronous) {
    auto transfer = std::make_shared<Transfer>(*this, endpoint, synchronous);
    transfer->transfer = libusb_alloc_transfer(0);
    if (!transfer->transfer) return nullptr;
    return transfer;
}

IOReturn LibusbDevice::submit(const std::shared_ptr<Transfer> &transfer) {
    libusb_device_handle *handle;
    {
        std::lock_guard lock(mutex_);
        if (gone_) return kIOReturnNoDevice;
        if (!handle_ || closing_) return kIOReturnNotOpen;
        if (transfer->endpoint && halted_.count(transfer->endpoint)) return kIOUSBPipeStalled;
        ++users_;
        handle = handle_;
        transfers_.push_back(transfer);
    }
    transfer->transfer->dev_handle = handle;
    if (transfer->readBytes) session_->usbfs.readSubmitted(transfer->readBytes);
    const int result = libusb_submit_transfer(transfer->transfer);
    bool cancelNow = false, news = false;
    {
        std::lock_guard lock(mutex_);
        --users_;
        if (result < 0) {
            std::erase(transfers_, transfer);
            if (result == LIBUSB_ERROR_NO_DEVICE) news = markGoneLocked();
        } else {
            transfer->submitted = true;
            // An abort or a departure came while it was being submitted.
            if (transfer->cancelReason && !transfer->cancelIssued) {
                transfer->cancelIssued = true;
                cancelNow = true;
            }
        }
        changed_.notify_all();
    }
    if (result < 0) {
        if (transfer->readBytes) {
            session_->usbfs.readEnded(transfer->readBytes);
            if (result == LIBUSB_ERROR_NO_MEM) session_->usbfs.readRefused(transfer->readBytes);
        }
        onError(result, "libusb_submit_transfer");
        if (news) cancel(-1, kIOReturnNoDevice);
        return ioReturnFromError(result);
    }
    if (cancelNow) libusb_cancel_transfer(transfer->transfer);
    return kIOReturnSuccess;
}

void LIBUSB_CALL LibusbDevice::transferDone(libusb_transfer *transfer) {
    auto *record = static_cast<Transfer *>(transfer->user_data);
    record->device.finish(*record);
}

void LibusbDevice::finish(Transfer &transfer) {
    const libusb_transfer_status status = transfer.transfer->status;
    const uint32_t moved = uint32_t(std::max(0, transfer.transfer->actual_length));
    if (status != LIBUSB_TRANSFER_COMPLETED && status != LIBUSB_TRANSFER_CANCELLED)
        onError(errorFromTransferStatus(status), transfer.name);
    std::shared_ptr<Transfer> keep; // the transfer's memory lasts to the end of this call
    bool news = false;
    IOReturn result;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(transfers_.begin(), transfers_.end(),
                               [&](const auto &entry) { return entry.get() == &transfer; });
        if (it == transfers_.end()) return; // close() gave up on it and ended it already
        keep = std::move(*it);
        transfers_.erase(it);
        if (status == LIBUSB_TRANSFER_NO_DEVICE) news = markGoneLocked();
        if (status == LIBUSB_TRANSFER_STALL && transfer.endpoint) halted_.insert(transfer.endpoint);
        if (status == LIBUSB_TRANSFER_COMPLETED)
            result = kIOReturnSuccess;
        else if (gone_)
            result = kIOReturnNoDevice;
        else if (status == LIBUSB_TRANSFER_CANCELLED)
            result = transfer.cancelReason ? transfer.cancelReason : kIOReturnAborted;
        else
            result = ioReturnFromTransferStatus(status);
        // The caller of a synchronous control transfer waits, so its buffer is still there.
        if (transfer.controlIn && moved)
            std::memcpy(
                transfer.controlIn, transfer.control.data() + LIBUSB_CONTROL_SETUP_SIZE,
                std::min<size_t>(moved, transfer.control.size() - LIBUSB_CONTROL_SETUP_SIZE));
        transfer.done = true;
        transfer.status = result;
        transfer.transferred = moved;
        changed_.notify_all();
    }
    if (transfer.readBytes) session_->usbfs.readEnded(transfer.readBytes);
    if (news) cancel(-1, kIOReturnNoDevice);
    // Outside libusb's callback, so that the completion may call the device again.
    if (!transfer.synchronous)
        session_->post([completion = std::move(transfer.completion), result, moved] {
            completion(result, moved);
        });
}

IOReturn LibusbDevice::wait(const std::shared_ptr<Transfer> &transfer, uint32_t &transferred) {
    if (session_->onEventThread()) {
        session_->handleEventsUntil([&] {
            std::lock_guard lock(mutex_);
            return transfer->done;
        });
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return transfer->done; });
    transferred = transfer->transferred;
    return transfer->status;
}

void LibusbDevice::cancel(int endpoint, IOReturn reason) {
    std::vector<std::shared_ptr<Transfer>> due;
    {
        std::lock_guard lock(mutex_);
        for (auto &transfer : transfers_) {
            if (endpoint >= 0 && transfer->endpoint != endpoint) continue;
            if (!transfer->cancelReason) transfer->cancelReason = reason;
            // One not yet submitted is cancelled by its submitter, which sees the reason.
            if (transfer->submitted && !transfer->cancelIssued) {
                transfer->cancelIssued = true;
                due.push_back(transfer);
            }
        }
    }
    for (auto &transfer : due) {
        const int result = libusb_cancel_transfer(transfer->transfer);
        if (result < 0 && result != LIBUSB_ERROR_NOT_FOUND && result != LIBUSB_ERROR_NO_DEVICE)
            onError(result, "libusb_cancel_transfer");
    }
}

IOReturn LibusbDevice::controlTransfer(const usb::SetupPacket &setup, uint8_t *data,
                                       usb::Timeouts timeouts, uint32_t &transferred) {
    transferred = 0;
    if (setup.wLength && !data) return kIOReturnBadArgument;
    auto transfer = newTransfer(0, true);
    if (!transfer) return kIOReturnNoMemory;
    transfer->name = "control transfer";
    transfer->control.resize(LIBUSB_CONTROL_SETUP_SIZE + setup.wLength);
    libusb_fill_control_setup(transfer->control.data(), setup.bmRequestType, setup.bRequest,
                              setup.wValue, setup.wIndex, setup.wLength);
    if (setup.bmRequestType & LIBUSB_ENDPOINT_IN)
        transfer->controlIn = data;
    else if (setup.wLength)
        std::memcpy(transfer->control.data() + LIBUSB_CONTROL_SETUP_SIZE, data, setup.wLength);
    libusb_fill_control_transfer(transfer->transfer, nullptr, transfer->control.data(),
                                 transferDone, transfer.get(), timeoutMs(timeouts));
    if (IOReturn result = submit(transfer)) return result;
    return wait(transfer, transferred);
}

IOReturn LibusbDevice::bulkTransfer(uint8_t endpoint, uint8_t *data, uint32_t length,
                                    usb::Timeouts timeouts, uint32_t &transferred) {
    transferred = 0;
    if ((!data && length) || length > uint32_t(INT32_MAX)) return kIOReturnBadArgument;
    auto transfer = newTransfer(endpoint, true);
    if (!transfer) return kIOReturnNoMemory;
    const bool in = endpoint & usb::kEndpointIn;
    transfer->name = in ? "bulk read" : "bulk write";
    if (in) transfer->readBytes = length;
    libusb_fill_bulk_transfer(transfer->transfer, nullptr, endpoint, data, int(length),
                              transferDone, transfer.get(), timeoutMs(timeouts));
    if (IOReturn result = submit(transfer)) return result;
    return wait(transfer, transferred);
}

IOReturn LibusbDevice::submitBulkRead(uint8_t endpoint, uint8_t *data, uint32_t length,
                                      usb::TransferCompletion completion) {
    if (!(endpoint & usb::kEndpointIn) || !data || !length || length > uint32_t(INT32_MAX) ||
        !completion)
        return kIOReturnBadArgument;
    auto transfer = newTransfer(endpoint, false);
    if (!transfer) return kIOReturnNoMemory;
    transfer->name = "bulk read";
    transfer->readBytes = length;
    transfer->completion = std::move(completion);
    libusb_fill_bulk_transfer(transfer->transfer, nullptr, endpoint, data, int(length),
                              transferDone, transfer.get(), 0);
    return submit(transfer);
}

IOReturn LibusbDevice::abortEndpoint(uint8_t endpoint) {
    {
        std::lock_guard lock(mutex_);
        if (gone_) return kIOReturnNoDevice;
        if (!handle_ || closing_) return kIOReturnNotOpen;
    }
    cancel(endpoint, kIOReturnAborted);
    return kIOReturnSuccess;
}

} // namespace qor::libusb
