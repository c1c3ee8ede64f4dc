// The context and its event thread.
#include "libusb/session.h"

#include "libusb/device.h"
#include "platform/log.h"

#include <cstring>
#include <utility>

namespace qor::libusb {

std::shared_ptr<Session> Session::start(std::string *error) {
    libusb_context *context = nullptr;
    const int result = libusb_init(&context);
    if (result < 0) {
        if (error) {
            *error = std::string("libusb cannot start: ") + libusb_error_name(result) + " (" +
                     libusb_strerror(result) + ")";
            if (result == LIBUSB_ERROR_OTHER || result == LIBUSB_ERROR_IO)
                *error += "; is the USB device file system (/dev/bus/usb) available?";
        }
        return nullptr;
    }
    return std::make_shared<Session>(context, usbfsMemoryLimitMB());
}

Session::Session(libusb_context *context, std::optional<uint32_t> usbfsLimitMB)
    : usbfs(usbfsLimitMB), context_(context) {}

Session::~Session() {
    stop();
}

void Session::startEvents(std::function<void()> round) {
    round_ = std::move(round);
    thread_ = std::thread([this] { run(); });
    eventThread_.store(thread_.get_id());
}

void Session::run() {
    eventThread_.store(std::this_thread::get_id());
    while (!stopping_.load()) {
        timeval wait{1, 0};
        const int result = libusb_handle_events_timeout_completed(context_, &wait, nullptr);
        if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED && result != LIBUSB_ERROR_TIMEOUT)
            errors.note(result, "libusb_handle_events");
        runTasks();
        if (round_ && !stopping_.load()) round_();
    }
}

void Session::runTasks() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

void Session::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    if (!onEventThread() && !ended_.load()) libusb_interrupt_event_handler(context_);
}

void Session::handleEventsUntil(const std::function<bool()> &done) {
    for (;;) {
        runTasks();
        if (done()) return;
        timeval wait{0, 100000};
        libusb_handle_events_timeout_completed(context_, &wait, nullptr);
    }
}

void Session::enroll(const std::shared_ptr<LibusbDevice> &device) {
    std::lock_guard lock(mutex_);
    std::erase_if(devices_, [](const auto &weak) { return weak.expired(); });
    devices_.push_back(device);
}

void Session::permissionDenied(uint32_t location, uint8_t bus, const std::string &ports) {
    {
        std::lock_guard lock(mutex_);
        if (!deniedLocations_.insert(location).second) return;
    }
    qor::platform::log(qor::platform::LogLevel::Error, "%s", permissionMessage(bus, ports).c_str());
}

void Session::stop() {
    if (ended_.load()) return;
    std::vector<std::weak_ptr<LibusbDevice>> devices;
    {
        std::lock_guard lock(mutex_);
        devices.swap(devices_);
    }
    for (auto &weak : devices)
        if (auto device = weak.lock()) device->detach();
    stopping_.store(true);
    libusb_interrupt_event_handler(context_);
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach(); // the last reference went on the thread itself; it ends now
        else
            thread_.join();
    }
    eventThread_.store(std::thread::id());
    runTasks(); // completions still due run once, here
    ended_.store(true);
    libusb_exit(context_);
}

} // namespace qor::libusb
