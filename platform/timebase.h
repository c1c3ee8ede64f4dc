// Time bases, time records and time codes.
#pragma once

#include "platform/mac_types.h"

#include <cstdint>
#include <functional>

struct TimeBaseRecord;
using TimeBase = TimeBaseRecord *;

using CompTimeValue = wide;

struct TimeRecord {
    CompTimeValue value;
    TimeScale scale;
    TimeBase base;
};

struct TimeCodeDef {
    uint32_t flags;
    TimeScale fTimeScale;
    TimeValue frameDuration;
    uint8_t numFrames;
    uint8_t padding;
};

struct TimeCodeTime {
    uint8_t hours;
    uint8_t minutes;
    uint8_t seconds;
    uint8_t frames;
};

// A new time base starts stopped (rate 0) at time 0.
TimeBase NewTimeBase();
void DisposeTimeBase(TimeBase tb);
// Rate in 16.16 fixed point: 0 stops the clock, 0x10000 runs at real time. The current time
// carries on from where it was.
void SetTimeBaseRate(TimeBase tb, Fixed rate);
Fixed GetTimeBaseRate(TimeBase tb);
// The current time at scale s (rounded down). Fills tr with the 64-bit value, s and tb when tr is
// non-null; returns the low 32 bits of the value. A null base or a scale of 0 or less gives 0 and
// leaves tr alone.
TimeValue GetTimeBaseTime(TimeBase tb, TimeScale s, TimeRecord *tr);
// Makes t units at scale s the current time.
void SetTimeBaseValue(TimeBase tb, TimeValue t, TimeScale s);
// dst += src, as one signed 64-bit number.
void WideAdd(wide *dst, const wide *src);

namespace qor::platform {

// Replaces the microsecond clock the time bases run on; an empty function restores the monotonic
// clock. Set it while no time base is running, since their anchors are in the old clock's units.
void setTimeBaseClockForTests(std::function<uint64_t()> clock);

} // namespace qor::platform
