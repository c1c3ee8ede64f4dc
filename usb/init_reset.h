// Sensor initialisation: the register words the sensor of model 0x009A needs after its FPGA is
// configured, each sent with vendor request 0x13.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kInitializationMacroCount = 434;
// Each entry is a big-endian 16-bit word: (10-bit sensor register address << 6) | 6-bit value.
extern const uint8_t InitializationMacros[2 * kInitializationMacroCount];
