// The basic Mac types the driver's interfaces are written in.
#pragma once

#include <qorvanta/types.h>

#include <cstddef>
#include <cstdint>

using OSType = uint32_t;
using Boolean = uint8_t;
using Byte = uint8_t;
using Ptr = char *;
using Size = long;
using Fixed = int32_t; // 16.16 fixed point
using TimeScale = int32_t;
using TimeValue = int32_t;
using CodecQ = uint32_t;
using CodecType = OSType;
using UInt64 = uint64_t;

using Str255 = unsigned char[256]; // length byte, then up to 255 characters
using StringPtr = unsigned char *;

struct UnsignedWide {
    uint32_t hi;
    uint32_t lo;
};

struct wide {
    int32_t hi;
    uint32_t lo;
};

// Mac order: top, left, bottom, right.
struct Rect {
    int16_t top;
    int16_t left;
    int16_t bottom;
    int16_t right;
};

struct RGBColor {
    uint16_t red;
    uint16_t green;
    uint16_t blue;
};

constexpr OSType fourCharCode(const char (&code)[5]) {
    return uint32_t(uint8_t(code[0])) << 24 | uint32_t(uint8_t(code[1])) << 16 |
           uint32_t(uint8_t(code[2])) << 8 | uint32_t(uint8_t(code[3]));
}

constexpr Fixed fixedFromInt(int value) {
    return Fixed(uint32_t(value) << 16);
}

inline uint64_t wideToUInt64(UnsignedWide w) {
    return uint64_t(w.hi) << 32 | w.lo;
}
inline UnsignedWide uint64ToWide(uint64_t v) {
    return {uint32_t(v >> 32), uint32_t(v)};
}
