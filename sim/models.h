// The 28 camera models the simulator offers: one profile each, in one table.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qor::sim {

struct ControlLimits {
    bool present;
    bool autoOffered;
    uint32_t minimum;
    uint32_t maximum;
    uint32_t initial;
};

struct ModelProfile {
    uint16_t productID;      // model product id; unprogrammed it enumerates as productID | 0x8000
    uint16_t vendorID;       // kCameraVendorID or kCameraVendorID2, by the product id
    const char *productName; // the product string descriptor
    uint16_t sensorWidth;    // register 0x1000
    uint16_t sensorHeight;
    uint16_t widthStep; // register 0x1004
    uint16_t heightStep;
    uint8_t sensorCode;             // register 0x1014 (0, 5, 6 mono; 8-15, 24-27 Bayer)
    uint8_t subsampleLevel;         // register 0x101C bits 0-7
    bool windowResetRegister;       // register 0x0010 bit 0
    bool formatSurvivesSubsampling; // the probe reads the format code back unchanged
    bool cooled;                    // register 0x0690 bit 31
    bool fan;                       // register 0x0730 bit 31
    uint32_t coolerLowMilliKelvin, coolerHighMilliKelvin; // registers 0x0698, 0x069C
    bool toneCurve;                                       // register 0x4FF8 bit 0
    bool sensorInitialisation;                            // accepts request 0x13
    bool hasFpga;                    // false: no FPGA step (0x0008 reads configured)
    uint8_t fpgaMajor, fpgaMinor;    // register 0x000C
    uint16_t defaultRelease;         // bcdDevice
    std::vector<uint16_t> releases;  // release numbers that have firmware and FPGA files
    std::vector<uint16_t> dataRates; // registers 0x104C / 0x1050, units of 1024 B/s
    ControlLimits control0400, exposure, gain, redGain, green1Gain, green2Gain, blueGain;
};

std::span<const ModelProfile> modelProfiles();
// The profile with this model product id (0x8000 ignored), or null.
const ModelProfile *findModel(uint16_t productID);

} // namespace qor::sim
