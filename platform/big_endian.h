// Big-endian byte writers for the binary forms the platform builds (resources, item lists).
#pragma once

#include <cstdint>
#include <vector>

namespace qor::platform {

inline void putU8(std::vector<char> &out, unsigned value) {
    out.push_back(char(uint8_t(value)));
}
inline void putU16(std::vector<char> &out, unsigned value) {
    putU8(out, value >> 8);
    putU8(out, value);
}
inline void putU32(std::vector<char> &out, uint32_t value) {
    putU16(out, value >> 16);
    putU16(out, value & 0xFFFF);
}

} // namespace qor::platform
