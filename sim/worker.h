// The thread of one simulated camera: runs its timed events (re-enumeration, frame readout)
// and delivers transfer completions and bus reports, never while a camera lock is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace qor::sim {

using Clock = std::chrono::steady_clock;

class Worker {
public:
    Worker();
    // Runs the tasks already posted, drops the timed ones that are not due, and ends the
    // thread (joining it, unless the last reference goes away on the thread itself).
    ~Worker();
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    // Runs task on the thread as soon as possible, after the tasks posted before it.
    void post(std::function<void()> task);
    // Runs task on the thread once the clock reaches when.
    void postAt(Clock::time_point when, std::function<void()> task);

private:
    struct Queue {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> ready;
        std::multimap<Clock::time_point, std::function<void()>> timed;
        bool stopping = false;
    };
    static void run(std::shared_ptr<Queue> queue);

    std::shared_ptr<Queue> queue_;
    std::thread thread_;
};

} // namespace qor::sim
