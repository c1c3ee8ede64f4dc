// Sensor codes of camera register 0x1014 and what they mean for the frame path.
#pragma once

#include <cstdint>
#include <optional>

namespace qor::camera {

struct SensorFormat {
    uint32_t pixelFormatCode; // value for register 0x1010 (sensorType)
    uint32_t formatClass;     // bayerPattern: 0 mono, 1 RGGB, 2 GRBG, 3 GBRG, 4 BGGR
    bool color;
};

// The format a sensor code stands for; none for a code no camera of the family reports.
std::optional<SensorFormat> sensorFormatForCode(uint32_t sensorCode);

} // namespace qor::camera
