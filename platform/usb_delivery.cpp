// Delivery queues: work posted from any thread, run by the run loop holding the queue's source.
#include "platform/usb_internal.h"

#include <utility>

namespace qor::iokit {
namespace {

// The source's info: the queue, weakly, so the source does not keep its queue alive.
using Info = std::weak_ptr<DeliveryQueue>;

void releaseInfo(const void *info) {
    delete static_cast<const Info *>(info);
}

} // namespace

std::shared_ptr<DeliveryQueue> DeliveryQueue::create() {
    std::shared_ptr<DeliveryQueue> queue(new DeliveryQueue);
    CFRunLoopSourceContext context{0, new Info(queue), nullptr, releaseInfo, perform};
    queue->source_ = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    return queue;
}

DeliveryQueue::~DeliveryQueue() {
    close();
}

CFRunLoopSourceRef DeliveryQueue::source() const {
    std::lock_guard guard(lock_);
    return source_;
}

void DeliveryQueue::post(std::function<void()> delivery) {
    CFRunLoopSourceRef source;
    {
        std::lock_guard guard(lock_);
        if (!source_) return;
        pending_.push_back(std::move(delivery));
        source = source_;
        CFRetain(source);
    }
    CFRunLoopSourceSignal(source);
    CFRelease(source);
}

void DeliveryQueue::close() {
    CFRunLoopSourceRef source;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard guard(lock_);
        source = std::exchange(source_, nullptr);
        dropped.swap(pending_);
    }
    if (!source) return;
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);
}

// Runs the deliveries queued when the pass began, one at a time, so that one that closes the
// queue ends the pass; deliveries posted meanwhile have signalled the source again.
void DeliveryQueue::perform(void *info) {
    std::shared_ptr<DeliveryQueue> queue = static_cast<Info *>(info)->lock();
    if (!queue) return;
    size_t due;
    {
        std::lock_guard guard(queue->lock_);
        due = queue->pending_.size();
    }
    for (; due > 0; --due) {
        std::function<void()> delivery;
        {
            std::lock_guard guard(queue->lock_);
            if (!queue->source_ || queue->pending_.empty()) return;
            delivery = std::move(queue->pending_.front());
            queue->pending_.pop_front();
        }
        delivery();
    }
}

} // namespace qor::iokit
