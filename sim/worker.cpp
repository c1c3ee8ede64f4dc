#include "sim/worker.h"

namespace qor::sim {

Worker::Worker() : queue_(std::make_shared<Queue>()), thread_(run, queue_) {}

Worker::~Worker() {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->stopping = true;
    }
    queue_->wake.notify_all();
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach(); // the queue outlives us: the thread holds its own reference
    else
        thread_.join();
}

void Worker::post(std::function<void()> task) {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->ready.push_back(std::move(task));
    }
    queue_->wake.notify_all();
}

void Worker::postAt(Clock::time_point when, std::function<void()> task) {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->timed.emplace(when, std::move(task));
    }
    queue_->wake.notify_all();
}

void Worker::run(std::shared_ptr<Queue> queue) {
    std::unique_lock lock(queue->mutex);
    for (;;) {
        const auto now = Clock::now();
        while (!queue->stopping && !queue->timed.empty() && queue->timed.begin()->first <= now) {
            queue->ready.push_back(std::move(queue->timed.begin()->second));
            queue->timed.erase(queue->timed.begin());
        }
        if (!queue->ready.empty()) {
            std::function<void()> task = std::move(queue->ready.front());
            queue->ready.pop_front();
            lock.unlock();
            task();
            task = nullptr; // whatever it captured goes before the lock is taken again
            lock.lock();
            continue;
        }
        if (queue->stopping) break;
        if (queue->timed.empty())
            queue->wake.wait(lock);
        else
            queue->wake.wait_until(lock, queue->timed.begin()->first);
    }
    // Timed tasks that never came due are dropped outside the lock.
    auto dropped = std::move(queue->timed);
    lock.unlock();
}

} // namespace qor::sim
