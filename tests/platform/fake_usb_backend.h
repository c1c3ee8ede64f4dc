// Test double for the IOKit layer's tests: a bus whose devices a test describes and drives.
// Transfers are recorded; asynchronous reads wait until the test completes them, and then
// complete on the bus's own thread, as a real backend's would.
#pragma once

#include "platform/usb.h"
#include "platform/usb_backend.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace qor::test {

// One thread running posted work in order: where completions and bus reports come from.
class BusThread {
public:
    BusThread() : thread_([this] { run(); }) {}
    ~BusThread() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void post(std::function<void()> work) {
        {
            std::lock_guard guard(lock_);
            work_.push_back(std::move(work));
        }
        wake_.notify_all();
    }
    // Returns once everything posted before has run.
    void drain() {
        std::mutex doneLock;
        std::condition_variable doneWake;
        bool done = false;
        post([&] {
            std::lock_guard guard(doneLock);
            done = true;
            doneWake.notify_all();
        });
        std::unique_lock wait(doneLock);
        doneWake.wait(wait, [&] { return done; });
    }

private:
    void run() {
        std::unique_lock guard(lock_);
        while (true) {
            wake_.wait(guard, [&] { return stopping_ || !work_.empty(); });
            if (work_.empty()) return;
            auto work = std::move(work_.front());
            work_.pop_front();
            guard.unlock();
            work();
            guard.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    std::thread thread_;
};

class FakeDevice : public usb::Device {
public:
    FakeDevice(usb::DeviceDescriptor descriptor, std::vector<usb::ConfigDescriptor> configs,
               uint32_t location, std::shared_ptr<BusThread> bus)
        : descriptor_(descriptor), configs_(std::move(configs)), location_(location),
          bus_(std::move(bus)) {}

    usb::DeviceDescriptor deviceDescriptor() const override { return descriptor_; }
    usb::ConfigDescriptor configDescriptor(uint8_t index) const override {
        return configs_.at(index);
    }
    uint32_t locationID() const override { return location_; }
    bool attached() const override {
        std::lock_guard guard(lock_);
        return attached_;
    }

    IOReturn open() override {
        std::lock_guard guard(lock_);
        if (!attached_) return kIOReturnNoDevice;
        if (open_) return kIOReturnExclusiveAccess;
        open_ = true;
        return kIOReturnSuccess;
    }
    void close() override {
        std::lock_guard guard(lock_);
        open_ = false;
    }
    IOReturn setConfiguration(uint8_t value) override {
        return record([&] { configuration_ = value; });
    }
    IOReturn claimInterface(uint8_t number) override {
        std::lock_guard guard(lock_);
        if (!attached_) return kIOReturnNoDevice;
        if (!claimed_.insert(number).second) return kIOReturnExclusiveAccess;
        return kIOReturnSuccess;
    }
    void releaseInterface(uint8_t number) override {
        std::lock_guard guard(lock_);
        claimed_.erase(number);
    }
    IOReturn setAlternateSetting(uint8_t interfaceNumber, uint8_t alternate) override {
        return record([&] { alternates_[interfaceNumber] = alternate; });
    }

    // IN requests answer wLength bytes of 0xA5, or `shortBy` fewer.
    IOReturn controlTransfer(const usb::SetupPacket &setup, uint8_t *data, usb::Timeouts timeouts,
                             uint32_t &transferred) override {
        return record([&] {
            controls_.push_back({setup, timeouts});
            transferred = setup.wLength > controlShortBy_ ? setup.wLength - controlShortBy_ : 0;
            if (setup.bmRequestType & usb::kEndpointIn) std::memset(data, 0xA5, transferred);
        });
    }
    IOReturn bulkTransfer(uint8_t endpoint, uint8_t *data, uint32_t length, usb::Timeouts timeouts,
                          uint32_t &transferred) override {
        return record([&] {
            bulks_.push_back({endpoint, length, timeouts});
            transferred = length;
            if (endpoint & usb::kEndpointIn) std::memset(data, 0x5A, length);
        });
    }
    IOReturn submitBulkRead(uint8_t endpoint, uint8_t *data, uint32_t length,
                            usb::TransferCompletion completion) override {
        return record([&] { reads_.push_back({endpoint, data, length, std::move(completion)}); });
    }
    IOReturn abortEndpoint(uint8_t endpoint) override {
        return record([&] {
            endpointCalls_.push_back({"abort", endpoint});
            finishLocked(endpoint, kIOReturnAborted, 0);
        });
    }
    IOReturn clearHalt(uint8_t endpoint) override {
        return record([&] {
            endpointCalls_.push_back({"clear", endpoint});
            stalled_.erase(endpoint);
        });
    }
    IOReturn endpointStatus(uint8_t endpoint) const override {
        std::lock_guard guard(lock_);
        if (!attached_) return kIOReturnNoDevice;
        return stalled_.count(endpoint) ? kIOUSBPipeStalled : kIOReturnSuccess;
    }

    // ---- driven by the test ----

    // Completes the outstanding reads of the endpoint on the bus thread, filling them with
    // `bytes` bytes of 0x5A.
    void completeReads(uint8_t endpoint, IOReturn status, uint32_t bytes) {
        std::lock_guard guard(lock_);
        finishLocked(endpoint, status, bytes);
    }
    size_t outstandingReads() const {
        std::lock_guard guard(lock_);
        return reads_.size();
    }
    void stall(uint8_t endpoint) {
        std::lock_guard guard(lock_);
        stalled_.insert(endpoint);
    }
    void shortenControlsBy(uint32_t bytes) {
        std::lock_guard guard(lock_);
        controlShortBy_ = bytes;
    }
    // The device leaves the bus: calls answer kIOReturnNoDevice, reads end with it.
    void detach() {
        std::lock_guard guard(lock_);
        attached_ = false;
        for (auto &read : reads_) finishLocked(read.endpoint, kIOReturnNoDevice, 0);
    }

    struct Control {
        usb::SetupPacket setup;
        usb::Timeouts timeouts;
    };
    struct Bulk {
        uint8_t endpoint;
        uint32_t length;
        usb::Timeouts timeouts;
    };
    std::vector<Control> controls() const {
        std::lock_guard guard(lock_);
        return controls_;
    }
    std::vector<Bulk> bulks() const {
        std::lock_guard guard(lock_);
        return bulks_;
    }
    std::vector<std::pair<std::string, uint8_t>> endpointCalls() const {
        std::lock_guard guard(lock_);
        return endpointCalls_;
    }
    uint8_t configuration() const {
        std::lock_guard guard(lock_);
        return configuration_;
    }
    int alternate(uint8_t interfaceNumber) const {
        std::lock_guard guard(lock_);
        auto it = alternates_.find(interfaceNumber);
        return it == alternates_.end() ? -1 : it->second;
    }
    bool claimed(uint8_t interfaceNumber) const {
        std::lock_guard guard(lock_);
        return claimed_.count(interfaceNumber) > 0;
    }
    bool isOpen() const {
        std::lock_guard guard(lock_);
        return open_;
    }

private:
    struct Read {
        uint8_t endpoint;
        uint8_t *data;
        uint32_t length;
        usb::TransferCompletion completion;
    };

    // Runs a call's effect unless the device has gone.
    template <class Effect> IOReturn record(Effect effect) {
        std::lock_guard guard(lock_);
        if (!attached_) return kIOReturnNoDevice;
        effect();
        return kIOReturnSuccess;
    }

    void finishLocked(uint8_t endpoint, IOReturn status, uint32_t bytes) {
        for (auto it = reads_.begin(); it != reads_.end();) {
            if (it->endpoint != endpoint) {
                ++it;
                continue;
            }
            uint32_t moved = std::min(bytes, it->length);
            std::memset(it->data, 0x5A, moved);
            bus_->post([completion = std::move(it->completion), status, moved] {
                completion(status, moved);
            });
            it = reads_.erase(it);
        }
    }

    const usb::DeviceDescriptor descriptor_;
    const std::vector<usb::ConfigDescriptor> configs_;
    const uint32_t location_;
    const std::shared_ptr<BusThread> bus_;
    mutable std::mutex lock_;
    bool attached_ = true;
    bool open_ = false;
    uint8_t configuration_ = 0;
    uint32_t controlShortBy_ = 0;
    std::set<uint8_t> claimed_;
    std::set<uint8_t> stalled_;
    std::map<uint8_t, uint8_t> alternates_;
    std::vector<Read> reads_;
    std::vector<Control> controls_;
    std::vector<Bulk> bulks_;
    std::vector<std::pair<std::string, uint8_t>> endpointCalls_;
};

class FakeBackend : public usb::Backend {
public:
    std::string name() const override { return "fake"; }
    std::vector<std::shared_ptr<usb::Device>> devices() override {
        std::lock_guard guard(lock_);
        return {devices_.begin(), devices_.end()};
    }
    void setListener(usb::BusListener *listener) override {
        std::lock_guard guard(lock_);
        listener_ = listener;
    }

    // A device of this bus, not attached until plugged.
    std::shared_ptr<FakeDevice> makeDevice(usb::DeviceDescriptor descriptor,
                                           std::vector<usb::ConfigDescriptor> configs,
                                           uint32_t location) {
        return std::make_shared<FakeDevice>(descriptor, std::move(configs), location, bus_);
    }
    // Reports arrivals and departures from the bus thread, and waits until they are reported.
    void plug(const std::shared_ptr<FakeDevice> &device) {
        {
            std::lock_guard guard(lock_);
            devices_.push_back(device);
        }
        bus_->post([this, device] { withListener([&](auto &l) { l.deviceArrived(device); }); });
        bus_->drain();
    }
    void unplug(const std::shared_ptr<FakeDevice> &device) {
        {
            std::lock_guard guard(lock_);
            std::erase(devices_, device);
        }
        device->detach();
        bus_->post([this, device] { withListener([&](auto &l) { l.deviceLeft(device); }); });
        bus_->drain();
    }
    // Waits until the completions already posted have run.
    void drain() { bus_->drain(); }

private:
    template <class Report> void withListener(Report report) {
        usb::BusListener *listener;
        {
            std::lock_guard guard(lock_);
            listener = listener_;
        }
        if (listener) report(*listener);
    }

    std::mutex lock_;
    std::vector<std::shared_ptr<FakeDevice>> devices_;
    usb::BusListener *listener_ = nullptr;
    std::shared_ptr<BusThread> bus_ = std::make_shared<BusThread>();
};

} // namespace qor::test
