#include "sim/scene.h"

#include <algorithm>
#include <cmath>

namespace qor::sim {
namespace {

struct Rgb {
    float r, g, b;
};

constexpr Rgb kBackground{0.40f, 0.40f, 0.40f};
// The light falling on the scene is a little warm, so a camera at unity colour gains sees
// grey as slightly red and needs its colour balance.
constexpr Rgb kLight{1.12f, 1.0f, 0.85f};
// Level of a reflectance of 1.0 at unity exposure and gains.
constexpr float kFullScale = 275.0f;

// A 6 x 4 colour chart: three rows of colours and a row of greys.
constexpr Rgb kChart[4][6] = {
    {{0.17f, 0.11f, 0.08f},
     {0.55f, 0.38f, 0.31f},
     {0.19f, 0.25f, 0.42f},
     {0.14f, 0.19f, 0.08f},
     {0.33f, 0.30f, 0.55f},
     {0.25f, 0.62f, 0.56f}},
    {{0.70f, 0.33f, 0.07f},
     {0.12f, 0.15f, 0.48f},
     {0.55f, 0.14f, 0.17f},
     {0.14f, 0.07f, 0.20f},
     {0.42f, 0.55f, 0.09f},
     {0.75f, 0.48f, 0.06f}},
    {{0.05f, 0.07f, 0.38f},
     {0.10f, 0.35f, 0.09f},
     {0.45f, 0.05f, 0.05f},
     {0.85f, 0.72f, 0.05f},
     {0.55f, 0.14f, 0.38f},
     {0.05f, 0.30f, 0.50f}},
    {{0.88f, 0.88f, 0.88f},
     {0.58f, 0.58f, 0.58f},
     {0.36f, 0.36f, 0.36f},
     {0.19f, 0.19f, 0.19f},
     {0.09f, 0.09f, 0.09f},
     {0.03f, 0.03f, 0.03f}},
};
// Scales the colour rows so that their average is neutral: the chart adds colour to the
// scene without tilting its balance.
constexpr Rgb kChartBalance{0.85f, 1.04f, 1.195f};
constexpr float kChartLeft = 0.22f, kChartTop = 0.18f, kChartWidth = 0.56f, kChartHeight = 0.44f;

// Reflectance at normalised scene coordinates (0..1 across the sensor).
Rgb reflectance(float u, float v, float detailLeft) {
    if (u >= kChartLeft && u < kChartLeft + kChartWidth && v >= kChartTop &&
        v < kChartTop + kChartHeight) {
        const float cu = (u - kChartLeft) / kChartWidth * 6,
                    cv = (v - kChartTop) / kChartHeight * 4;
        const int col = std::min(5, int(cu)), row = std::min(3, int(cv));
        const float fu = cu - col, fv = cv - row;
        if (fu > 0.1f && fu < 0.9f && fv > 0.1f && fv < 0.9f) {
            const Rgb c = kChart[row][col];
            if (row == 3) return c;
            return {c.r * kChartBalance.r, c.g * kChartBalance.g, c.b * kChartBalance.b};
        }
        return kBackground;
    }
    if (v >= 0.72f && v < 0.80f && u >= 0.1f && u < 0.9f) {
        const float level = (u - 0.1f) / 0.8f;
        return {level, level, level};
    }
    if (v >= 0.85f && v < 0.90f && u >= detailLeft && u < detailLeft + 0.04f)
        return {0.95f, 0.95f, 0.95f};
    return kBackground;
}

uint32_t mix(uint32_t x, uint32_t y, uint32_t frame) {
    uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u ^ frame * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

// The colour sample sites of a 2 x 2 mosaic tile, per format class.
enum Site { kR, kGr, kGb, kB };
constexpr Site kTiles[5][2][2] = {
    {{kR, kGr}, {kGb, kB}}, // (monochrome: unused)
    {{kR, kGr}, {kGb, kB}}, // 1 RGGB
    {{kGr, kR}, {kB, kGb}}, // 2 GRBG
    {{kGb, kB}, {kR, kGr}}, // 3 GBRG
    {{kB, kGb}, {kGr, kR}}, // 4 BGGR
};

class Readout {
public:
    Readout(const SensorSettings &s, uint64_t frame)
        : s_(s), frame_(uint32_t(frame)), detailLeft_(0.1f + 0.75f * float(frame % 120) / 120.0f) {
        const float common = kFullScale * float(s.exposure * s.gain);
        siteScale_[kR] = common * kLight.r * float(s.red);
        siteScale_[kGr] = common * kLight.g * float(s.green1);
        siteScale_[kGb] = common * kLight.g * float(s.green2);
        siteScale_[kB] = common * kLight.b * float(s.blue);
        monoScale_ = common;
    }

    // Signal (before noise and quantisation) of sensor pixel (x, y).
    float signal(uint32_t x, uint32_t y) const {
        x = std::min<uint32_t>(x, s_.sensorWidth - 1);
        y = std::min<uint32_t>(y, s_.sensorHeight - 1);
        const Rgb c = reflectance((float(x) + 0.5f) / float(s_.sensorWidth),
                                  (float(y) + 0.5f) / float(s_.sensorHeight), detailLeft_);
        if (s_.formatClass == 0)
            return monoScale_ *
                   (0.299f * c.r * kLight.r + 0.587f * c.g * kLight.g + 0.114f * c.b * kLight.b);
        const Site site = kTiles[s_.formatClass][y & 1][x & 1];
        const float channel = site == kR ? c.r : site == kB ? c.b : c.g;
        return siteScale_[site] * channel;
    }

    uint8_t quantise(float signal, uint32_t x, uint32_t y) const {
        const int noise = int(mix(x, y, frame_) % 5) - 2;
        const int level = std::clamp(int(std::lround(signal)) + noise, 0, 255);
        return s_.toneCurve ? (*s_.toneCurve)[level] : uint8_t(level);
    }

private:
    const SensorSettings &s_;
    uint32_t frame_;
    float detailLeft_;
    float siteScale_[4];
    float monoScale_;
};

} // namespace

std::vector<uint8_t> renderScene(const SensorSettings &s, uint64_t frameNumber) {
    const uint32_t width = s.rawWidth(), height = s.rawHeight();
    std::vector<uint8_t> frame(size_t(width) * height);
    const Readout readout(s, frameNumber);
    // Sensor coordinate of output column/row i. Skipping keeps whole 2 x 2 tiles (two of every
    // four pixels), so the mosaic phase survives; binning takes each tile as one pixel.
    auto sensorX = [&](uint32_t i) {
        return s.subsampleX == 1 ? s.left + i
               : s.binned        ? s.left + 2 * i
                                 : s.left + (i / 2) * 4 + (i & 1);
    };
    auto sensorY = [&](uint32_t j) {
        return s.subsampleY == 1 ? s.top + j
               : s.binned        ? s.top + 2 * j
                                 : s.top + (j / 2) * 4 + (j & 1);
    };
    for (uint32_t j = 0; j < height; ++j) {
        const uint32_t y = sensorY(j);
        uint8_t *row = frame.data() + size_t(j) * width;
        for (uint32_t i = 0; i < width; ++i) {
            const uint32_t x = sensorX(i);
            if (x >= s.sensorWidth || y >= s.sensorHeight) {
                row[i] = 0; // past the sensor's edge nothing is read out
                continue;
            }
            float signal = readout.signal(x, y);
            if (s.binned) {
                signal = (signal + readout.signal(x + 1, y) + readout.signal(x, y + 1) +
                          readout.signal(x + 1, y + 1)) *
                         0.25f;
            }
            row[i] = readout.quantise(signal, x, y);
        }
    }
    return frame;
}

} // namespace qor::sim
