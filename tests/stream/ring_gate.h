// Test support: holds frames on the streaming thread at the frame path's ring advance (after it
// has found room for the frame, before it publishes it), so that a test can order what the
// client does against the frame path, or make a completion that does not return.
#pragma once

#include "stream/stream_internal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qor::test {

class RingGate {
public:
    // Frames stop at the gate from now on; each letOneThrough lets one of them go.
    RingGate() {
        {
            std::lock_guard lock(state().mutex);
            state().holding = true;
            state().arrivals = state().passes = 0;
        }
        qor::stream::setRingAdvanceHookForTests(&RingGate::arrive);
    }
    // Lets every held frame go; later frames pass.
    ~RingGate() {
        open();
        qor::stream::setRingAdvanceHookForTests(nullptr);
    }
    RingGate(const RingGate &) = delete;
    RingGate &operator=(const RingGate &) = delete;

    // Waits until `count` frames in all have reached the gate; false when none came for long.
    bool waitForArrivals(unsigned count) {
        std::unique_lock lock(state().mutex);
        return state().changed.wait_for(lock, std::chrono::seconds(20),
                                        [&] { return state().arrivals >= count; });
    }
    void letOneThrough() {
        std::lock_guard lock(state().mutex);
        ++state().passes;
        state().changed.notify_all();
    }
    void open() {
        std::lock_guard lock(state().mutex);
        state().holding = false;
        state().changed.notify_all();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool holding = true;
        unsigned arrivals = 0;
        unsigned passes = 0;
    };
    // One gate at a time; the hook is a plain function.
    static State &state() {
        static State s;
        return s;
    }
    static void arrive(CameraRecord &) {
        State &s = state();
        std::unique_lock lock(s.mutex);
        ++s.arrivals;
        s.changed.notify_all();
        s.changed.wait(lock, [&] { return !s.holding || s.passes > 0; });
        if (s.holding) --s.passes;
    }
};

} // namespace qor::test
