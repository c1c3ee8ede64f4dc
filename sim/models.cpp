#include "sim/models.h"

#include "usb/vendor_ids.h"

namespace qor::sim {
namespace {

// Control limit sets shared by families of models. Exposure is in microseconds; the gains are
// register units whose initial value is unity gain.
constexpr ControlLimits kAbsent{false, false, 0, 0, 0};
constexpr ControlLimits kBlackLevel{true, true, 0, 255, 16};
constexpr ControlLimits kExposureShort{true, true, 10, 10'000'000, 10'000};
constexpr ControlLimits kExposureLong{true, false, 1'000, 3'600'000'000u, 10'000};
constexpr ControlLimits kGainSensor{true, true, 16, 1023, 64};
constexpr ControlLimits kGainCcd{true, false, 0, 63, 16};
constexpr ControlLimits kColourGain{true, false, 0, 255, 64};
constexpr ControlLimits kColourGainWide{true, false, 8, 511, 128};

enum class Cooling { None, Cooler, CoolerAndFan };

// One row of the table below, before the derived fields are filled in.
struct Row {
    uint16_t productID;
    const char *name;
    uint16_t width, height, widthStep, heightStep;
    uint8_t sensorCode;
    uint8_t subsampleLevel;
    bool windowReset;
    bool formatSurvives;
    Cooling cooling;
    uint32_t coolerLow, coolerHigh;
    bool toneCurve;
    uint8_t fpgaMajor, fpgaMinor;
    std::vector<uint16_t> releases; // the first is the default release
    std::vector<uint16_t> dataRates;
    ControlLimits exposure, gain, colourGain;
};

bool isColourCode(uint8_t code) {
    return code >= 8;
}

ModelProfile makeProfile(const Row &row) {
    const bool colour = isColourCode(row.sensorCode);
    const ControlLimits colourGain = colour ? row.colourGain : kAbsent;
    return ModelProfile{
        .productID = row.productID,
        .vendorID = cameraVendorFor(row.productID),
        .productName = row.name,
        .sensorWidth = row.width,
        .sensorHeight = row.height,
        .widthStep = row.widthStep,
        .heightStep = row.heightStep,
        .sensorCode = row.sensorCode,
        .subsampleLevel = row.subsampleLevel,
        .windowResetRegister = row.windowReset,
        .formatSurvivesSubsampling = row.formatSurvives,
        .cooled = row.cooling != Cooling::None,
        .fan = row.cooling == Cooling::CoolerAndFan,
        .coolerLowMilliKelvin = row.cooling != Cooling::None ? row.coolerLow : 0,
        .coolerHighMilliKelvin = row.cooling != Cooling::None ? row.coolerHigh : 0,
        .toneCurve = row.toneCurve,
        .sensorInitialisation = row.productID == 0x009A,
        .hasFpga = row.productID != 0x03AD,
        .fpgaMajor = row.fpgaMajor,
        .fpgaMinor = row.fpgaMinor,
        .defaultRelease = row.releases.front(),
        .releases = row.releases,
        .dataRates = row.dataRates,
        .control0400 = kBlackLevel,
        .exposure = row.exposure,
        .gain = row.gain,
        .redGain = colourGain,
        .green1Gain = colourGain,
        .green2Gain = colourGain,
        .blueGain = colourGain,
    };
}

constexpr Cooling kNone = Cooling::None;
constexpr Cooling kCooler = Cooling::Cooler;
constexpr Cooling kFan = Cooling::CoolerAndFan;
constexpr uint32_t kLow = 253'000, kHigh = 303'000; // -20 C to +30 C

std::vector<ModelProfile> buildTable() {
    // Product ids in the order the driver's camera table lists them.
    // clang-format off
    const Row rows[] = {
        // pid, product string, sensor width and height, width and height steps, sensor code,
        //   subsampling level, window-reset register, format survives subsampling;
        // cooling, cooler limits (mK), tone curve, FPGA version, releases, data rates (KB/s);
        // exposure, gain and colour-gain limits
        {0x00A1, "Qorvanta QV-1M",        1280, 1024, 16, 8,  0,  1, false, true,
         kNone,   0,      0,      true,  2, 1, {0},                 {12000, 24000, 36000},
         kExposureShort, kGainSensor, kColourGain},
        {0x04A2, "Qorvanta QV-5C",        2592, 1944, 16, 8,  8,  2, true,  true,
         kNone,   0,      0,      true,  2, 3, {0},                 {10000, 20000, 30000, 40000},
         kExposureShort, kGainSensor, kColourGain},
        {0x00A3, "Qorvanta QV-3C",        2048, 1536, 16, 8,  9,  2, true,  false,
         kNone,   0,      0,      false, 1, 7, {0},                 {8000, 16000, 24000, 32000, 40000},
         kExposureShort, kGainSensor, kColourGain},
        {0x01AC, "Qorvanta QV-1.3C",      1280, 1024, 8,  2,  10, 1, false, true,
         kNone,   0,      0,      true,  2, 0, {0},                 {16000, 32000},
         kExposureShort, kGainSensor, kColourGain},
        {0x01A2, "Qorvanta QV-2C",        1600, 1200, 8,  8,  11, 2, true,  true,
         kNone,   0,      0,      true,  3, 2, {0, 0x10},           {12000, 24000, 36000},
         kExposureShort, kGainSensor, kColourGain},
        {0x01A7, "Qorvanta QV-2M",        1600, 1200, 8,  8,  5,  2, true,  true,
         kNone,   0,      0,      true,  3, 2, {0, 0x10},           {12000, 24000, 36000},
         kExposureShort, kGainSensor, kColourGain},
        {0x01A4, "Qorvanta QV-12C",       3888, 3120, 16, 8,  12, 2, true,  false,
         kNone,   0,      0,      true,  4, 1, {0},                 {16000, 24000, 32000, 40000, 44000, 46000},
         kExposureShort, kGainSensor, kColourGainWide},
        {0x01A5, "Qorvanta QV-1.4M Cool", 1392, 1040, 16, 8,  6,  1, false, true,
         kFan,    kLow,   kHigh,  true,  2, 5, {0, 1, 2},           {9000, 18000},
         kExposureLong, kGainCcd, kColourGain},
        {0x01A8, "Qorvanta QV-1.4C Cool", 1392, 1040, 16, 8,  13, 1, false, true,
         kFan,    kLow,   kHigh,  true,  2, 5, {0, 1, 2, 3, 4, 5},  {9000, 18000, 27000},
         kExposureLong, kGainCcd, kColourGain},
        {0x03AD, "Qorvanta QV-0.3M",      640,  480,  4,  4,  0,  1, false, true,
         kNone,   0,      0,      false, 0, 0, {0},                 {6000, 12000},
         kExposureShort, kGainSensor, kColourGain},
        {0x008C, "Qorvanta QV-8C Cool",   3296, 2472, 16, 8,  14, 2, true,  true,
         kFan,    kLow,   kHigh,  true,  5, 0, {0},                 {20000, 30000, 40000},
         kExposureLong, kGainCcd, kColourGainWide},
        {0x018C, "Qorvanta QV-8M Cool",   3296, 2472, 16, 8,  0,  2, true,  true,
         kFan,    kLow,   kHigh,  true,  5, 0, {0},                 {20000, 30000, 40000},
         kExposureLong, kGainCcd, kColourGain},
        {0x0085, "Qorvanta QV-0.3C",      640,  480,  4,  4,  15, 1, false, true,
         kNone,   0,      0,      false, 1, 2, {0},                 {6000, 12000, 18000},
         kExposureShort, kGainSensor, kColourGain},
        {0x0092, "Qorvanta QV-5M",        2592, 1944, 32, 2,  5,  2, false, true,
         kNone,   0,      0,      true,  2, 4, {0, 1},              {10000, 20000, 30000, 40000},
         kExposureShort, kGainSensor, kColourGain},
        {0x0096, "Qorvanta QV-1.2C",      1280, 960,  8,  2,  24, 2, true,  false,
         kNone,   0,      0,      true,  2, 2, {0, 1, 2, 3},        {8000, 16000, 24000, 32000},
         kExposureShort, kGainSensor, kColourGain},
        {0x019A, "Qorvanta QV-16M Cool",  4096, 4096, 32, 2,  6,  2, true,  true,
         kFan,    248000, 298000, true,  6, 1, {0},                 {5000, 10000, 15000, 20000, 25000, 30000, 35000, 40000},
         kExposureLong, kGainCcd, kColourGain},
        {0x018A, "Qorvanta QV-6C Cool",   3032, 2016, 8,  8,  25, 2, true,  true,
         kFan,    kLow,   kHigh,  true,  4, 3, {0, 1},              {15000, 30000, 45000},
         kExposureLong, kGainCcd, kColourGainWide},
        {0x009E, "Qorvanta QV-2C Lite",   1600, 1200, 16, 8,  26, 2, true,  false,
         kNone,   0,      0,      false, 1, 9, {0},                 {12000, 24000},
         kExposureShort, kGainSensor, kColourGain},
        {0x0097, "Qorvanta QV-3M",        2048, 1536, 16, 8,  0,  2, true,  true,
         kNone,   0,      0,      true,  2, 6, {0, 1, 2},           {8000, 16000, 24000, 32000, 40000},
         kExposureShort, kGainSensor, kColourGain},
        {0x0180, "Qorvanta QV-4C Cool",   2336, 1752, 16, 8,  27, 2, true,  true,
         kCooler, 263000, 298000, true,  3, 0, {0},                 {10000, 20000, 30000},
         kExposureLong, kGainCcd, kColourGain},
        {0x008D, "Qorvanta QV-0.8C",      1024, 768,  8,  8,  8,  1, false, true,
         kNone,   0,      0,      false, 1, 1, {0},                 {8000, 16000, 24000},
         kExposureShort, kGainSensor, kColourGain},
        {0x01CD, "Qorvanta QV-2.8C",      1936, 1456, 8,  8,  9,  2, true,  true,
         kNone,   0,      0,      true,  3, 8, {0},                 {12000, 24000, 36000, 44000},
         kExposureShort, kGainSensor, kColourGain},
        {0x019B, "Qorvanta QV-11M Cool",  4008, 2672, 8,  8,  5,  2, true,  true,
         kFan,    kLow,   kHigh,  true,  6, 0, {0},                 {10000, 20000, 30000, 40000, 44000},
         kExposureLong, kGainCcd, kColourGain},
        {0x008B, "Qorvanta QV-0.8M",      1024, 768,  8,  2,  6,  1, false, true,
         kNone,   0,      0,      false, 1, 1, {0},                 {8000, 16000, 24000},
         kExposureShort, kGainSensor, kColourGain},
        {0x01C5, "Qorvanta QV-1.3C Cool", 1280, 1024, 4,  4,  10, 2, true,  false,
         kFan,    kLow,   kHigh,  true,  2, 7, {0},                 {16000, 32000},
         kExposureLong, kGainCcd, kColourGain},
        {0x01C8, "Qorvanta QV-6C",        3072, 2048, 16, 8,  11, 2, true,  true,
         kNone,   0,      0,      true,  4, 4, {0, 1, 2, 3, 4, 5},  {15000, 30000, 45000},
         kExposureShort, kGainSensor, kColourGainWide},
        {0x009A, "Qorvanta QV-1.3M",      1280, 1024, 4,  4,  0,  1, false, true,
         kNone,   0,      0,      false, 1, 0, {0, 1},              {20000},
         kExposureShort, kGainSensor, kColourGain},
        {0x01AF, "Qorvanta QV-5C Cool",   2448, 2048, 16, 8,  13, 2, false, true,
         kFan,    kLow,   kHigh,  true,  3, 3, {0},                 {10000, 20000, 30000, 40000, 44000, 46000, 48000},
         kExposureLong, kGainCcd, kColourGain},
    };
    // clang-format on
    std::vector<ModelProfile> table;
    for (const Row &row : rows) table.push_back(makeProfile(row));
    return table;
}

} // namespace

std::span<const ModelProfile> modelProfiles() {
    // Built on first use: the vendor ids come from the environment at start-up.
    static const std::vector<ModelProfile> table = buildTable();
    return table;
}

const ModelProfile *findModel(uint16_t productID) {
    const uint16_t id = productID & 0x7FFF;
    for (const ModelProfile &profile : modelProfiles())
        if (profile.productID == id) return &profile;
    return nullptr;
}

} // namespace qor::sim
