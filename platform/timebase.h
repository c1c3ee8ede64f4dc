// Time bases, time records and time codes.
#pragma once

#include "platform/mac_types.h"

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
