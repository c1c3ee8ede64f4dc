// The libusb bus: which devices are attached, and their arrivals and departures. Hotplug
// callbacks only queue what happened; the event thread handles the queue after each pass, so
// no libusb call runs inside a callback.
#include "libusb/libusb_backend.h"

#include "libusb/device.h"
#include "libusb/session.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>

namespace qor::libusb {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRescanPeriod = std::chrono::seconds(1);

class LibusbBackend final : public usb::Backend {
public:
    LibusbBackend(std::shared_ptr<Session> session, std::vector<uint16_t> vendors)
        : session_(std::move(session)), vendors_(std::move(vendors)) {}
    ~LibusbBackend() override;

    // Follows the bus: hotplug callbacks where libusb has them, else rescans.
    void start();

    std::string name() const override { return "libusb"; }
    std::vector<std::shared_ptr<usb::Device>> devices() override;
    void setListener(usb::BusListener *listener) override {
        std::lock_guard lock(listenerMutex_);
        listener_ = listener;
    }

private:
    struct Event {
        libusb_device *device; // one reference
        bool arrived;
    };

    static int LIBUSB_CALL hotplug(libusb_context *, libusb_device *device,
                                   libusb_hotplug_event event, void *self);
    bool wanted(libusb_device *device) const;
    // After each pass of the event thread: the queued hotplug events, or a rescan when due.
    void round();
    void handleEvents();
    void rescan();
    void arrive(libusb_device *device);
    void leave(libusb_device *device);

    const std::shared_ptr<Session> session_;
    const std::vector<uint16_t> vendors_;
    std::vector<libusb_hotplug_callback_handle> callbacks_;
    bool hotplug_ = false;
    Clock::time_point nextRescan_{};

    std::mutex queueMutex_;
    std::deque<Event> queue_;
    // Arrivals and departures are handled one at a time, in order.
    std::mutex roundMutex_;
    bool ending_ = false; // guarded by roundMutex_

    mutable std::mutex devicesMutex_;
    std::vector<std::shared_ptr<LibusbDevice>> devices_;

    // Held while reporting, so that a listener is not replaced under a report in progress;
    // recursive because a listener may set the listener from inside a report.
    std::recursive_mutex listenerMutex_;
    usb::BusListener *listener_ = nullptr;
};

LibusbBackend::~LibusbBackend() {
    {
        std::lock_guard lock(roundMutex_);
        ending_ = true;
    }
    for (auto handle : callbacks_) libusb_hotplug_deregister_callback(session_->context(), handle);
    std::deque<Event> queued;
    {
        std::lock_guard lock(queueMutex_);
        queued.swap(queue_);
    }
    for (const Event &event : queued) libusb_unref_device(event.device);
    std::vector<std::shared_ptr<LibusbDevice>> devices;
    {
        std::lock_guard lock(devicesMutex_);
        devices.swap(devices_);
    }
    devices.clear();
    session_->stop(); // closes what clients left open, then ends the thread and the context
}

void LibusbBackend::start() {
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        hotplug_ = true;
        for (uint16_t vendor : vendors_) {
            libusb_hotplug_callback_handle handle;
            const int result = libusb_hotplug_register_callback(
                session_->context(),
                LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                LIBUSB_HOTPLUG_ENUMERATE, vendor, LIBUSB_HOTPLUG_MATCH_ANY,
                LIBUSB_HOTPLUG_MATCH_ANY, hotplug, this, &handle);
            if (result < 0) {
                session_->errors.note(result, "libusb_hotplug_register_callback");
                hotplug_ = false;
                break;
            }
            callbacks_.push_back(handle);
        }
        if (!hotplug_) {
            for (auto handle : callbacks_)
                libusb_hotplug_deregister_callback(session_->context(), handle);
            callbacks_.clear();
        }
    }
    session_->startEvents([this] { round(); });
    // The devices attached now are listed before the backend is handed out.
    std::lock_guard lock(roundMutex_);
    if (hotplug_)
        handleEvents();
    else
        rescan();
}

int LIBUSB_CALL LibusbBackend::hotplug(libusb_context *, libusb_device *device,
                                       libusb_hotplug_event event, void *self) {
    auto *backend = static_cast<LibusbBackend *>(self);
    {
        std::lock_guard lock(backend->queueMutex_);
        backend->queue_.push_back(
            {libusb_ref_device(device), event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED});
    }
    return 0;
}

void LibusbBackend::round() {
    std::lock_guard lock(roundMutex_);
    if (ending_) return;
    if (hotplug_) {
        handleEvents();
    } else if (Clock::now() >= nextRescan_) {
        rescan();
    }
}

void LibusbBackend::handleEvents() {
    for (;;) {
        Event event;
        {
            std::lock_guard lock(queueMutex_);
            if (queue_.empty()) return;
            event = queue_.front();
            queue_.pop_front();
        }
        if (event.arrived) {
            arrive(event.device);
        } else {
            leave(event.device);
            libusb_unref_device(event.device);
        }
    }
}

bool LibusbBackend::wanted(libusb_device *device) const {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) < 0) return false;
    return std::find(vendors_.begin(), vendors_.end(), descriptor.idVendor) != vendors_.end();
}

void LibusbBackend::rescan() {
    nextRescan_ = Clock::now() + kRescanPeriod;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(session_->context(), &list);
    if (count < 0) {
        session_->errors.note(int(count), "libusb_get_device_list");
        return;
    }
    std::vector<libusb_device *> present(list, list + count);
    std::vector<libusb_device *> gone;
    {
        std::lock_guard lock(devicesMutex_);
        for (const auto &device : devices_)
            if (std::find(present.begin(), present.end(), device->libusbDevice()) == present.end())
                gone.push_back(device->libusbDevice());
    }
    for (libusb_device *device : gone) leave(device);
    for (libusb_device *device : present)
        if (wanted(device)) arrive(libusb_ref_device(device));
    libusb_free_device_list(list, 1);
}

void LibusbBackend::arrive(libusb_device *device) {
    {
        std::lock_guard lock(devicesMutex_);
        // Hotplug may report a device twice (once while enumerating); a rescan finds it again.
        for (const auto &known : devices_)
            if (known->libusbDevice() == device) {
                libusb_unref_device(device);
                return;
            }
    }
    if (!wanted(device)) {
        libusb_unref_device(device);
        return;
    }
    auto created = LibusbDevice::create(session_, device);
    if (!created) return;
    {
        std::lock_guard lock(devicesMutex_);
        devices_.push_back(created);
    }
    std::lock_guard lock(listenerMutex_);
    if (listener_) listener_->deviceArrived(created);
}

void LibusbBackend::leave(libusb_device *device) {
    std::shared_ptr<LibusbDevice> left;
    {
        std::lock_guard lock(devicesMutex_);
        auto it = std::find_if(devices_.begin(), devices_.end(),
                               [&](const auto &known) { return known->libusbDevice() == device; });
        if (it == devices_.end()) return;
        left = std::move(*it);
        devices_.erase(it);
    }
    left->departed();
    std::lock_guard lock(listenerMutex_);
    if (listener_) listener_->deviceLeft(left);
}

std::vector<std::shared_ptr<usb::Device>> LibusbBackend::devices() {
    std::lock_guard lock(devicesMutex_);
    std::vector<std::shared_ptr<usb::Device>> list;
    for (const auto &device : devices_)
        if (device->attached()) list.push_back(device);
    return list;
}

} // namespace

std::shared_ptr<usb::Backend> startBackend(std::vector<uint16_t> vendorIDs, std::string *error) {
    std::sort(vendorIDs.begin(), vendorIDs.end());
    vendorIDs.erase(std::unique(vendorIDs.begin(), vendorIDs.end()), vendorIDs.end());
    if (vendorIDs.empty()) {
        if (error) *error = "libusb backend: no vendor ids to look for";
        return nullptr;
    }
    auto session = Session::start(error);
    if (!session) return nullptr;
    auto backend = std::make_shared<LibusbBackend>(std::move(session), std::move(vendorIDs));
    backend->start();
    return backend;
}

} // namespace qor::libusb
