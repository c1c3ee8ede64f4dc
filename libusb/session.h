// The libusb context of one backend and the one thread that handles its events: transfer
// completions, time-outs and hotplug callbacks all run there, and so does the work other
// threads hand it (the asynchronous completions, which never run inside a libusb callback).
#pragma once

#include "libusb/errors.h"
#include "libusb/usbfs_memory.h"

#include <libusb.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qor::libusb {

class LibusbDevice;

class Session {
public:
    // A new context; null, with the reason in error, when libusb cannot start.
    static std::shared_ptr<Session> start(std::string *error);
    Session(libusb_context *context, std::optional<uint32_t> usbfsLimitMB);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    libusb_context *context() const { return context_; }

    // Starts the event thread; round runs on it after every pass of event handling (at least
    // about once a second), until stop().
    void startEvents(std::function<void()> round);
    // Closes what the devices still hold, ends the thread (running the work still queued on the
    // calling thread) and ends the context. The devices answer kIOReturnNoDevice from then on.
    void stop();

    bool onEventThread() const { return eventThread_.load() == std::this_thread::get_id(); }
    // Runs task on the event thread, between two passes of event handling.
    void post(std::function<void()> task);
    // Handles events on the event thread itself until done() holds: a synchronous call made on
    // the event thread (by a listener, or a completion) waits this way.
    void handleEventsUntil(const std::function<bool()> &done);

    // Devices register while they live, so that stop() can close what their clients left open.
    void enroll(const std::shared_ptr<LibusbDevice> &device);

    // The permission advice, once per camera location.
    void permissionDenied(uint32_t location, uint8_t bus, const std::string &ports);

    ErrorLog errors;
    UsbfsMemoryWatch usbfs;

private:
    void run();
    void runTasks();

    libusb_context *const context_;
    std::atomic<bool> ended_{false};
    std::atomic<std::thread::id> eventThread_{};
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::function<void()> round_; // set before the thread starts

    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::weak_ptr<LibusbDevice>> devices_;
    std::set<uint32_t> deniedLocations_;
};

} // namespace qor::libusb
