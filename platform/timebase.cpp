#include "platform/timebase.h"

#include "platform/misc.h"

#include <mutex>
#include <utility>

namespace {

using Int128 = __int128;

// The unit elapsed time is kept in: a microsecond times a 16.16 rate.
constexpr int64_t kTicksPerSecond = int64_t(1000000) << 16;

std::mutex gClockLock;
std::function<uint64_t()> gClock;

// Read while holding the time base's lock, so that readings and re-anchoring stay in order.
uint64_t nowUs() {
    std::function<uint64_t()> clock;
    {
        std::lock_guard guard(gClockLock);
        clock = gClock;
    }
    return clock ? clock() : qor::platform::microseconds();
}

// Division rounding toward minus infinity, for a positive divisor.
Int128 floorDiv(Int128 n, Int128 d) {
    Int128 q = n / d;
    if (n % d != 0 && n < 0) --q;
    return q;
}

} // namespace

// The time at anchorUs is anchorNum / anchorDen seconds; since then it has moved at rate.
// anchorDen is the scale last set, until a running clock is re-anchored, then kTicksPerSecond.
struct TimeBaseRecord {
    std::mutex lock;
    Fixed rate = 0;
    uint64_t anchorUs = 0;
    Int128 anchorNum = 0;
    int64_t anchorDen = 1;

    Int128 ticksSinceAnchor(uint64_t now) const { return Int128(int64_t(now - anchorUs)) * rate; }

    // The current time in units of 1/s second, rounded down.
    Int128 timeAt(uint64_t now, TimeScale s) const {
        Int128 a = anchorNum * s;
        Int128 b = ticksSinceAnchor(now) * s;
        Int128 qa = floorDiv(a, anchorDen), ra = a - qa * anchorDen;
        Int128 qb = floorDiv(b, kTicksPerSecond), rb = b - qb * kTicksPerSecond;
        Int128 den = Int128(anchorDen) * kTicksPerSecond;
        return qa + qb + floorDiv(ra * kTicksPerSecond + rb * anchorDen, den);
    }

    // Moves the anchor to now without changing the current time.
    void reanchor(uint64_t now) {
        Int128 ticks = ticksSinceAnchor(now);
        if (ticks != 0) {
            if (anchorDen != kTicksPerSecond) {
                anchorNum = floorDiv(anchorNum * kTicksPerSecond, anchorDen);
                anchorDen = kTicksPerSecond;
            }
            anchorNum += ticks;
        }
        anchorUs = now;
    }
};

TimeBase NewTimeBase() {
    auto *tb = new TimeBaseRecord;
    tb->anchorUs = nowUs();
    return tb;
}

void DisposeTimeBase(TimeBase tb) {
    delete tb;
}

void SetTimeBaseRate(TimeBase tb, Fixed rate) {
    if (!tb) return;
    std::lock_guard guard(tb->lock);
    tb->reanchor(nowUs());
    tb->rate = rate;
}

Fixed GetTimeBaseRate(TimeBase tb) {
    if (!tb) return 0;
    std::lock_guard guard(tb->lock);
    return tb->rate;
}

TimeValue GetTimeBaseTime(TimeBase tb, TimeScale s, TimeRecord *tr) {
    if (!tb || s <= 0) return 0;
    Int128 value;
    {
        std::lock_guard guard(tb->lock);
        value = tb->timeAt(nowUs(), s);
    }
    auto bits = uint64_t(value);
    if (tr) {
        tr->value.hi = int32_t(uint32_t(bits >> 32));
        tr->value.lo = uint32_t(bits);
        tr->scale = s;
        tr->base = tb;
    }
    return TimeValue(uint32_t(bits));
}

void SetTimeBaseValue(TimeBase tb, TimeValue t, TimeScale s) {
    if (!tb || s <= 0) return;
    std::lock_guard guard(tb->lock);
    tb->anchorUs = nowUs();
    tb->anchorNum = t;
    tb->anchorDen = s;
}

void WideAdd(wide *dst, const wide *src) {
    if (!dst || !src) return;
    uint64_t a = uint64_t(uint32_t(dst->hi)) << 32 | dst->lo;
    uint64_t b = uint64_t(uint32_t(src->hi)) << 32 | src->lo;
    uint64_t sum = a + b; // wraps like the 64-bit two's-complement add it stands for
    dst->hi = int32_t(uint32_t(sum >> 32));
    dst->lo = uint32_t(sum);
}

namespace qor::platform {

void setTimeBaseClockForTests(std::function<uint64_t()> clock) {
    std::lock_guard guard(gClockLock);
    gClock = std::move(clock);
}

} // namespace qor::platform
