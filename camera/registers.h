// Camera register numbers, and the read-modify-write of one flag bit.
#pragma once

#include "usb/camera_record.h"

#include <cstdint>

namespace qor::camera {

enum Register : uint16_t {
    kRegFpgaControl = 0x0008,
    kRegFpgaVersion = 0x000C,
    kRegCapabilities = 0x0010,
    kRegStreaming = 0x0214,
    kRegExposureValue = 0x04A4,
    kRegRedGainValue = 0x0504,
    kRegBlueGainValue = 0x0534,
    kRegCooler = 0x0690,
    kRegCoolerSetPoint = 0x0694,
    kRegCoolerLowest = 0x0698,
    kRegCoolerHighest = 0x069C,
    kRegFan = 0x0730,
    kRegSensorSize = 0x1000,
    kRegWindowStep = 0x1004,
    kRegWindowOrigin = 0x1008,
    kRegWindowSize = 0x100C,
    kRegPixelFormat = 0x1010,
    kRegSensorCode = 0x1014,
    kRegSubsampling = 0x1018,
    kRegSubsampleLevel = 0x101C,
    kRegRateListReset = 0x1040,
    kRegDataRate = 0x1048,
    kRegRateCount = 0x104C,
    kRegRateListPort = 0x1050,
    kRegWindowReset = 0x1060,
    kRegToneCurvePresent = 0x4FF8,
    kRegToneCurveControl = 0x4FFC,
    kRegToneCurveTable = 0x5000,
};

constexpr uint8_t kRegisterRequest = 0x12;

// Reads the register, sets or clears one bit and writes the whole word back. Returns the
// failing read's status, or the write's result.
int32_t writeRegisterBit(CameraHandle camera, uint16_t reg, uint32_t bit, bool set);

// A register write with the 4-byte value, or any data stage (the tone-curve table), to reg.
int32_t writeRegisterData(CameraHandle camera, uint16_t reg, const void *data, uint16_t length);

} // namespace qor::camera
