#include "platform/runloop.h"

#include "platform/corefoundation_internal.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

using qor::cf::Object;
using Clock = std::chrono::steady_clock;

namespace {

// One lock guards every loop's source list, every source's state and every loop's stop flag.
// Performs and releases (which may call the client's release routine) run without it.
std::mutex &runLoopLock() {
    static auto *lock = new std::mutex;
    return *lock;
}

// The common modes are the default mode here.
CFStringRef normalMode(CFStringRef mode) {
    return mode == kCFRunLoopCommonModes ? kCFRunLoopDefaultMode : mode;
}

} // namespace

struct __CFRunLoopSource : Object {
    __CFRunLoopSource(CFIndex o, const CFRunLoopSourceContext &c) : order(o), context(c) {
        if (context.retain) context.info = const_cast<void *>(context.retain(context.info));
    }
    ~__CFRunLoopSource() override {
        if (context.release) context.release(context.info);
    }

    const CFIndex order;
    CFRunLoopSourceContext context;
    // Guarded by runLoopLock().
    bool signalled = false;
    bool valid = true;
    std::vector<__CFRunLoop *> loops; // the loops holding it, at most once each
};

struct __CFRunLoop : Object {
    struct Entry {
        CFRunLoopSourceRef source; // retained
        CFStringRef mode;
    };

    ~__CFRunLoop() override {
        std::vector<Entry> held;
        {
            std::lock_guard guard(runLoopLock());
            held.swap(entries);
            for (auto &entry : held) forget(entry.source);
        }
        for (auto &entry : held) CFRelease(entry.source);
    }

    // With the lock held.
    bool holds(CFRunLoopSourceRef source, CFStringRef mode) const {
        return std::any_of(entries.begin(), entries.end(),
                           [&](const Entry &e) { return e.source == source && e.mode == mode; });
    }
    bool hasSourceIn(CFStringRef mode) const {
        return std::any_of(entries.begin(), entries.end(),
                           [&](const Entry &e) { return e.mode == mode; });
    }
    void wake() {
        ++wakeups;
        wakeCondition.notify_all();
    }
    // Drops this loop from the source's list once no entry of the source is left here.
    void forget(CFRunLoopSourceRef source) {
        bool stillHeld = std::any_of(entries.begin(), entries.end(),
                                     [&](const Entry &e) { return e.source == source; });
        if (!stillHeld) std::erase(source->loops, this);
    }

    // Guarded by runLoopLock().
    std::vector<Entry> entries;
    bool stopRequested = false;
    uint64_t wakeups = 0;
    std::condition_variable wakeCondition;
};

namespace {

// The thread's reference to its loop, dropped when the thread ends; a loop another thread
// retained outlives its thread.
struct CurrentLoop {
    CFRunLoopRef loop = nullptr;
    ~CurrentLoop() { CFRelease(loop); }
};
thread_local CurrentLoop tCurrentLoop;

// Performs every signalled source of the mode once, in order; true when one ran.
bool performSignalledSources(CFRunLoopRef loop, CFStringRef mode,
                             std::unique_lock<std::mutex> &lock) {
    std::vector<CFRunLoopSourceRef> candidates;
    for (auto &entry : loop->entries) {
        if (entry.mode == mode && entry.source->signalled) {
            CFRetain(entry.source);
            candidates.push_back(entry.source);
        }
    }
    if (candidates.empty()) return false;
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](auto a, auto b) { return a->order < b->order; });
    lock.unlock();
    bool handled = false;
    for (CFRunLoopSourceRef source : candidates) {
        bool due;
        {
            // An earlier perform may have removed, invalidated or already served it.
            std::lock_guard guard(runLoopLock());
            due = source->valid && source->signalled && loop->holds(source, mode);
            if (due) source->signalled = false;
        }
        if (due) {
            source->context.perform(source->context.info);
            handled = true;
        }
        CFRelease(source);
    }
    lock.lock();
    return handled;
}

// The one run loop routine. Without a deadline it also ends when the mode has no source.
int32_t runLoop(CFStringRef mode, std::optional<Clock::time_point> deadline,
                bool returnAfterSourceHandled) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    mode = normalMode(mode);
    std::unique_lock lock(runLoopLock());
    while (true) {
        uint64_t seen = loop->wakeups;
        if (loop->stopRequested) {
            loop->stopRequested = false;
            return kCFRunLoopRunStopped;
        }
        if (performSignalledSources(loop, mode, lock)) {
            if (returnAfterSourceHandled) return kCFRunLoopRunHandledSource;
            continue;
        }
        if (!deadline) {
            if (!loop->hasSourceIn(mode)) return kCFRunLoopRunFinished;
            loop->wakeCondition.wait(lock, [&] { return loop->wakeups != seen; });
        } else {
            if (Clock::now() >= *deadline) return kCFRunLoopRunTimedOut;
            loop->wakeCondition.wait_until(lock, *deadline, [&] { return loop->wakeups != seen; });
        }
    }
}

} // namespace

CFStringRef kCFRunLoopDefaultModeName() {
    static CFStringRef name = CFSTR("kCFRunLoopDefaultMode");
    return name;
}

CFStringRef kCFRunLoopCommonModesName() {
    static CFStringRef name = CFSTR("kCFRunLoopCommonModes");
    return name;
}

CFRunLoopRef CFRunLoopGetCurrent() {
    if (!tCurrentLoop.loop) tCurrentLoop.loop = new __CFRunLoop;
    return tCurrentLoop.loop;
}

void CFRunLoopRun() {
    runLoop(kCFRunLoopDefaultMode, std::nullopt, false);
}

int32_t CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds,
                           Boolean returnAfterSourceHandled) {
    // Beyond a few decades a time-out is as good as none, and the clock arithmetic stays safe.
    constexpr double kLongest = 1e9;
    auto span = std::chrono::duration<double>(std::clamp(seconds, 0.0, kLongest));
    return runLoop(mode, Clock::now() + std::chrono::duration_cast<Clock::duration>(span),
                   returnAfterSourceHandled);
}

void CFRunLoopStop(CFRunLoopRef loop) {
    if (!loop) return;
    std::lock_guard guard(runLoopLock());
    // Remembered when the loop is not running: its next run returns at once.
    loop->stopRequested = true;
    loop->wake();
}

void CFRunLoopWakeUp(CFRunLoopRef loop) {
    if (!loop) return;
    std::lock_guard guard(runLoopLock());
    loop->wake();
}

CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef, CFIndex order,
                                         CFRunLoopSourceContext *context) {
    if (!context || context->version != 0 || !context->perform) return nullptr;
    return new __CFRunLoopSource(order, *context);
}

void CFRunLoopSourceSignal(CFRunLoopSourceRef source) {
    if (!source) return;
    std::lock_guard guard(runLoopLock());
    if (!source->valid) return;
    source->signalled = true;
    for (CFRunLoopRef loop : source->loops) loop->wake();
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source) {
    if (!source) return;
    std::vector<CFRunLoopSourceRef> dropped;
    {
        std::lock_guard guard(runLoopLock());
        source->valid = false;
        for (CFRunLoopRef loop : source->loops) {
            size_t entries = std::erase_if(
                loop->entries, [&](const __CFRunLoop::Entry &e) { return e.source == source; });
            dropped.insert(dropped.end(), entries, source); // one reference per entry
            loop->wake();
        }
        source->loops.clear();
    }
    for (CFRunLoopSourceRef s : dropped) CFRelease(s);
}

void CFRunLoopAddSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFStringRef mode) {
    if (!loop || !source || !mode) return;
    mode = normalMode(mode);
    std::lock_guard guard(runLoopLock());
    if (!source->valid || loop->holds(source, mode)) return;
    CFRetain(source);
    loop->entries.push_back({source, mode});
    if (std::find(source->loops.begin(), source->loops.end(), loop) == source->loops.end())
        source->loops.push_back(loop);
    loop->wake();
}

void CFRunLoopRemoveSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFStringRef mode) {
    if (!loop || !source || !mode) return;
    mode = normalMode(mode);
    bool removed = false;
    {
        std::lock_guard guard(runLoopLock());
        removed = std::erase_if(loop->entries, [&](const __CFRunLoop::Entry &e) {
                      return e.source == source && e.mode == mode;
                  }) > 0;
        if (removed) {
            loop->forget(source);
            loop->wake();
        }
    }
    if (removed) CFRelease(source);
}

Boolean CFRunLoopContainsSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFStringRef mode) {
    if (!loop || !source || !mode) return false;
    std::lock_guard guard(runLoopLock());
    return loop->holds(source, normalMode(mode));
}
