// The register file of a simulated camera's FPGA: every register of the map, the video-control
// blocks, the data-rate list port, cooler and fan, tone curve and readout geometry. Not
// thread-safe; the camera serialises access.
#pragma once

#include "sim/models.h"
#include "sim/worker.h"

#include <qorvanta/types.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace qor::sim {

// Register numbers the camera itself acts on.
constexpr uint16_t kRegFpga = 0x0008;
constexpr uint16_t kRegVersion = 0x000C;
constexpr uint16_t kRegStreaming = 0x0214;
constexpr uint16_t kRegToneTable = 0x5000;
constexpr uint32_t kStreamingOn = 0x80;

// Format class of a sensor code: 0 mono, 1 RGGB, 2 GRBG, 3 GBRG, 4 BGGR; -1 for an unknown code.
int formatClassOf(uint8_t sensorCode);

// What the sensor is programmed to deliver, as the scene renderer needs it.
struct SensorSettings {
    uint16_t sensorWidth, sensorHeight;
    uint16_t left, top, width, height;
    uint16_t subsampleX, subsampleY;
    int formatClass; // mosaic phase at sensor pixel (0, 0)
    bool binned;     // each 2x2 cell leaves the FPGA as one grey level
    // Relative to unity (the control's initial value).
    double exposure, gain, red, green1, green2, blue;
    std::optional<std::array<uint8_t, 256>> toneCurve;

    uint32_t rawWidth() const { return width / subsampleX; }
    uint32_t rawHeight() const { return height / subsampleY; }
};

class RegisterFile {
public:
    // automaticModesOn: the offered automatic modes power up switched on.
    explicit RegisterFile(const ModelProfile &model, bool automaticModesOn = false);

    // Power-on contents, as the FPGA has them right after configuration.
    void reset(Clock::time_point now);

    // A register access over the wire: kIOUSBPipeStalled for unknown registers, the wrong
    // direction or invalid values.
    IOReturn read(uint16_t reg, uint32_t &value, Clock::time_point now);
    IOReturn write(uint16_t reg, uint32_t value, Clock::time_point now);
    // A write whose data stage is not 4 bytes: only the tone-curve table takes one.
    IOReturn writeBlock(uint16_t reg, std::span<const uint8_t> bytes);

    // Direct access without checks or side effects, for tests.
    uint32_t peek(uint16_t reg, Clock::time_point now) const;
    void poke(uint16_t reg, uint32_t value, Clock::time_point now);

    bool streaming() const;
    SensorSettings sensorSettings() const;
    uint32_t dataRateBytesPerSecond() const;
    // The time the data rate needs to carry one frame of the programmed window (at least a
    // millisecond): the shortest frame period, and the longest exposure that fits in one.
    std::chrono::microseconds readoutTime() const;
    uint32_t exposureMicroseconds() const;
    uint32_t temperatureMilliKelvin(Clock::time_point now) const;
    std::vector<uint8_t> toneCurve() const;

    // Table of the register map (registers.cpp).
    struct Entry;

private:
    friend struct RegisterOps;

    const ModelProfile &model_;
    const bool automaticModesOn_;
    std::map<uint16_t, uint32_t> words_;
    uint32_t rateCursor_ = 0; // index of the next rate the list port returns
    std::optional<std::array<uint8_t, 256>> toneCurve_;
    // Cooler: the temperature relaxes exponentially toward its target from (temperature0_,
    // since_); the target is the set-point while cooling and ambient otherwise.
    double temperature0_ = 0;
    Clock::time_point since_{};

    double temperature(Clock::time_point now) const;
    void retarget(Clock::time_point now);
    const Entry *find(uint16_t reg) const;
};

} // namespace qor::sim
