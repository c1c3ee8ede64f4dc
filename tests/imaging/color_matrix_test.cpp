#include "imaging/simd.h"
#include "imaging/simd_levels.h"

#include <qorvanta/imaging.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

using qor::imaging::testing::forEachSimdLevel;

using Matrix = std::array<float, 9>;
using Pixel = std::array<uint8_t, 4>; // bytes in memory order

constexpr Matrix kIdentity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
constexpr Matrix kM3 = {1.777588f,  -0.817627f, 0.040039f, -0.033936f, 1.067383f,
                        -0.032959f, 0.061279f,  -0.78418f, 1.722656f};
constexpr Matrix kM28 = {1.227f,  -0.101f, -0.126f, -0.174f, 1.268f,
                         -0.094f, 0.051f,  -0.872f, 1.821f};
constexpr Matrix kM23 = {1.704834f,  -0.493408f, -0.211426f, -0.080811f, 1.283447f,
                         -0.202393f, 0.097412f,  -0.505371f, 1.407959f};

// Byte offsets of R, G, B and alpha: layout 1 is A,R,G,B in memory, any other B,G,R,A.
struct Offsets {
    int r, g, b, a;
};
Offsets offsetsOf(int layout) {
    return layout == 1 ? Offsets{1, 2, 3, 0} : Offsets{2, 1, 0, 3};
}

Pixel makePixel(int layout, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 0) {
    Pixel p{};
    const Offsets o = offsetsOf(layout);
    p[o.r] = r, p[o.g] = g, p[o.b] = b, p[o.a] = a;
    return p;
}

// The plain per-pixel rule: 1/1024 fixed point truncated toward zero, clamp, alpha 255.
void referenceApply(uint8_t *px, const Matrix &m, int layout) {
    const Offsets o = offsetsOf(layout);
    const int64_t in[3] = {px[o.r], px[o.g], px[o.b]};
    uint8_t out[3];
    for (int r = 0; r < 3; ++r) {
        int64_t sum = 0;
        for (int c = 0; c < 3; ++c) sum += in[c] * int64_t(std::trunc(double(m[r * 3 + c]) * 1024));
        out[r] = sum < 0 ? 0 : sum > 261120 ? 255 : uint8_t(sum / 1024);
    }
    px[o.r] = out[0], px[o.g] = out[1], px[o.b] = out[2], px[o.a] = 255;
}

void referenceRedSaturate(uint8_t *px, int layout) {
    const Offsets o = offsetsOf(layout);
    if (px[o.r] >= 240 && px[o.g] >= 240 && px[o.b] >= 240)
        px[o.r] = 255, px[o.g] = 0, px[o.b] = 0, px[o.a] = 255;
}

// One pixel repeated over a contiguous run long enough for every kernel and its scalar tail;
// every copy must come out the same.
constexpr int kRunLength = 19;

template <typename Operation> Pixel onRun(Pixel in, Operation operation) {
    std::vector<uint32_t> run(kRunLength);
    for (uint32_t &px : run) std::memcpy(&px, in.data(), 4);
    operation(run.data());
    Pixel first;
    std::memcpy(first.data(), &run[0], 4);
    for (int n = 1; n < kRunLength; ++n) EXPECT_EQ(std::memcmp(&run[n], first.data(), 4), 0);
    return first;
}

Pixel applyToRun(Pixel in, const Matrix &m, int layout) {
    return onRun(in, [&](uint32_t *px) {
        QORAApplyRGBMatrixToRGBImage(px, m.data(), layout, kRunLength * 4, kRunLength, 1);
    });
}

Pixel redSaturateRun(Pixel in, int layout) {
    return onRun(in, [&](uint32_t *px) {
        QORARedSaturateRGBImage(px, layout, kRunLength * 4, kRunLength, 1);
    });
}

Matrix lookup(uint16_t productID, uint16_t index) {
    Matrix m;
    m.fill(-99.0f);
    QORAGetBaseRGBCorrectionMatrix(m.data(), productID, index);
    return m;
}

TEST(BaseColorMatrix, LookupFindsTheModelsRecordOrFallsBackToTheDefault) {
    for (uint16_t pid : {161, 163, 428, 941}) EXPECT_EQ(lookup(pid, 3), kM3) << pid;
    EXPECT_EQ(lookup(424, 4), kM23);
    // Absent indices, index 0 (used at open) and unknown models all take the default.
    for (auto [pid, index] : {std::pair{418, 3}, {424, 3}, {161, 0}, {161, 6}, {999, 1}, {0, 0}})
        EXPECT_EQ(lookup(uint16_t(pid), uint16_t(index)), kM28) << pid << "/" << index;
}

TEST(BaseColorMatrix, TableIsOrderedByModelThenIndexAndEndsWithTheDefault) {
    size_t n = 0;
    for (; kBaseColorMatrices[n].productID != 0; ++n) {
        if (n == 0) continue;
        const QORAColorMatrixRecord &a = kBaseColorMatrices[n - 1], &b = kBaseColorMatrices[n];
        EXPECT_TRUE(a.productID < b.productID || (a.productID == b.productID && a.index < b.index))
            << n;
    }
    EXPECT_EQ(n, 36u);
    EXPECT_EQ(std::memcmp(kBaseColorMatrices[n].matrix, kM28.data(), sizeof kM28), 0);
}

// Y, Cb, Cr of the BT.601 weights, in double, as the independent check of the adjustment.
std::array<double, 9> toYCbCr(const Matrix &m) {
    const double y[9] = {0.299, 0.587, 0.114, -0.169, -0.331, 0.5, 0.5, -0.419, -0.081};
    std::array<double, 9> out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k) out[r * 3 + c] += y[r * 3 + k] * m[k * 3 + c];
    return out;
}

TEST(HueSaturation, NeutralSettingsKeepEveryTableMatrix) {
    for (size_t n = 0;; ++n) {
        Matrix m;
        std::memcpy(m.data(), kBaseColorMatrices[n].matrix, sizeof m);
        Matrix adjusted = m;
        QORAApplyHueSatCorrectionToMatrix(adjusted.data(), 0.0f, 1.0f);
        for (int k = 0; k < 9; ++k) EXPECT_NEAR(adjusted[k], m[k], 2e-6f) << n << "/" << k;
        if (kBaseColorMatrices[n].productID == 0) break;
    }
}

TEST(HueSaturation, KeepsLumaAndRotatesThenScalesChroma) {
    for (auto [hue, saturation] : {std::pair{10.0f, 1.2f}, {-135.0f, 0.4f}, {90.0f, 2.0f}}) {
        Matrix adjusted = kM3;
        QORAApplyHueSatCorrectionToMatrix(adjusted.data(), hue, saturation);
        const auto before = toYCbCr(kM3), after = toYCbCr(adjusted);
        const double t = hue * 3.14159265358979 / 180, c = std::cos(t), s = std::sin(t);
        for (int col = 0; col < 3; ++col) {
            const double cb = before[3 + col], cr = before[6 + col];
            EXPECT_NEAR(after[col], before[col], 1e-4) << hue;
            EXPECT_NEAR(after[3 + col], saturation * (c * cb - s * cr), 1e-4) << hue;
            EXPECT_NEAR(after[6 + col], saturation * (s * cb + c * cr), 1e-4) << hue;
        }
    }
}

TEST(HueSaturation, ZeroSaturationTurnsEveryPixelIntoItsLuma) {
    Matrix grey = kIdentity;
    QORAApplyHueSatCorrectionToMatrix(grey.data(), 77.0f, 0.0f);
    std::mt19937 rng(7);
    forEachSimdLevel([&] {
        for (int layout : {0, 1}) {
            std::vector<uint32_t> frame(64 * 8);
            for (uint32_t &px : frame) px = rng();
            const std::vector<uint32_t> before = frame;
            QORAApplyRGBMatrixToRGBImage(frame.data(), grey.data(), layout, 64 * 4, 64, 8);
            const Offsets o = offsetsOf(layout);
            for (size_t n = 0; n < frame.size(); ++n) {
                const auto *in = reinterpret_cast<const uint8_t *>(&before[n]);
                const auto *out = reinterpret_cast<const uint8_t *>(&frame[n]);
                const double y = 0.299 * in[o.r] + 0.587 * in[o.g] + 0.114 * in[o.b];
                for (int ch : {o.r, o.g, o.b}) ASSERT_NEAR(out[ch], std::lround(y), 1) << n;
            }
        }
    });
}

TEST(ApplyRGBMatrix, IdentityKeepsColoursAndMakesAlphaOpaque) {
    std::mt19937 rng(1);
    forEachSimdLevel([&] {
        for (int layout : {0, 1, 7}) {
            std::vector<uint32_t> frame(37 * 3);
            for (uint32_t &px : frame) px = rng();
            std::vector<uint32_t> expected = frame;
            for (uint32_t &px : expected)
                reinterpret_cast<uint8_t *>(&px)[offsetsOf(layout).a] = 255;
            QORAApplyRGBMatrixToRGBImage(frame.data(), kIdentity.data(), layout, 37 * 4, 37, 3);
            EXPECT_EQ(frame, expected) << layout;
        }
    });
}

TEST(ApplyRGBMatrix, OutputChannelsLandInTheLayoutsBytes) {
    // R' = B, G' = R, B' = G.
    const Matrix rotate = {0, 0, 1, 1, 0, 0, 0, 1, 0};
    forEachSimdLevel([&] {
        EXPECT_EQ(applyToRun({7, 10, 20, 30}, rotate, 1), (Pixel{255, 30, 10, 20}));
        EXPECT_EQ(applyToRun({30, 20, 10, 7}, rotate, 0), (Pixel{20, 10, 30, 255}));
    });
}

TEST(ApplyRGBMatrix, CoefficientsTruncateTowardZero) {
    Matrix tiny = kIdentity;
    tiny[1] = -0.0009f; // 0, not -1: R' = R
    Matrix gain = kIdentity;
    gain[0] = gain[4] = gain[8] = 1.2f; // 1228, not 1229
    forEachSimdLevel([&] {
        for (int layout : {0, 1}) {
            EXPECT_EQ(applyToRun(makePixel(layout, 1, 255, 0), tiny, layout),
                      makePixel(layout, 1, 255, 0, 255));
            EXPECT_EQ(applyToRun(makePixel(layout, 200, 100, 50), gain, layout),
                      makePixel(layout, 239, 119, 59, 255));
        }
    });
}

TEST(ApplyRGBMatrix, ChannelSumsClampAtBothEnds) {
    // R' = R + G/1024 or R - G/1024: sums 261120, 261121, 261119 and -1.
    Matrix plus = kIdentity, minus = kIdentity;
    plus[1] = 1.0f / 1024;
    minus[1] = -1.0f / 1024;
    // The extreme coefficients the 16-bit kernels take (32766 and -32768), and the first ones
    // beyond them on either side (32768, -32769).
    const Matrix extremes[] = {
        {31.999f, 31.999f, 31.999f, -32, -32, -32, 31.999f, -32, 31.999f},
        {32, 32, 32, -32, -32, -32, 32, -32, 32},
        {31.999f, 31.999f, 31.999f, -32.001f, -32.001f, -32.001f, 31.999f, -32.001f, 31.999f},
    };
    forEachSimdLevel([&] {
        for (int layout : {0, 1}) {
            auto red = [&](const Matrix &m, uint8_t r, uint8_t g) {
                return applyToRun(makePixel(layout, r, g, 0), m, layout)[offsetsOf(layout).r];
            };
            EXPECT_EQ(red(plus, 255, 0), 255);
            EXPECT_EQ(red(plus, 255, 1), 255);
            EXPECT_EQ(red(minus, 255, 1), 254);
            EXPECT_EQ(red(minus, 0, 1), 0);
            for (const Matrix &m : extremes) {
                for (Pixel p : {makePixel(layout, 255, 255, 255), makePixel(layout, 1, 1, 2),
                                makePixel(layout, 200, 3, 255), makePixel(layout, 0, 9, 1)}) {
                    Pixel expected = p;
                    referenceApply(expected.data(), m, layout);
                    EXPECT_EQ(applyToRun(p, m, layout), expected);
                }
            }
        }
    });
}

// Frames with padded and odd rows, between guard bytes; everything outside the pixels must
// stay as it was.
struct Frame {
    uint32_t width;
    int32_t height, rowBytes;
    std::vector<uint8_t> bytes;
    static constexpr size_t kGuard = 64;

    uint8_t *pixelBytes() { return bytes.data() + kGuard; }
    uint32_t *pixels() { return reinterpret_cast<uint32_t *>(pixelBytes()); }
};

Frame randomFrame(std::mt19937 &rng, std::uniform_int_distribution<int> value) {
    Frame f;
    f.width = std::uniform_int_distribution<uint32_t>(1, 45)(rng);
    f.height = std::uniform_int_distribution<int32_t>(1, 4)(rng);
    const int pad = std::uniform_int_distribution<int>(0, 2)(rng) == 0
                        ? 0
                        : std::uniform_int_distribution<int>(1, 13)(rng);
    f.rowBytes = int32_t(f.width * 4) + pad;
    f.bytes.resize(Frame::kGuard * 2 + size_t(f.rowBytes) * f.height);
    for (uint8_t &b : f.bytes) b = uint8_t(value(rng));
    return f;
}

template <typename PerPixel> void referenceFrame(Frame &f, PerPixel perPixel) {
    for (int32_t y = 0; y < f.height; ++y)
        for (uint32_t x = 0; x < f.width; ++x) perPixel(f.pixelBytes() + y * f.rowBytes + x * 4);
}

Matrix randomMatrix(std::mt19937 &rng, int kind) {
    Matrix m;
    if (kind == 0) {
        QORAGetBaseRGBCorrectionMatrix(m.data(), 941, uint16_t(rng() % 6));
        QORAApplyHueSatCorrectionToMatrix(m.data(), float(int(rng() % 360) - 180),
                                          float(rng() % 300) / 100);
        return m;
    }
    const float range = kind == 1 ? 3.0f : 40.0f; // 40 takes the wide-coefficient path
    std::uniform_real_distribution<float> value(-range, range);
    for (float &v : m) v = value(rng);
    return m;
}

TEST(ApplyRGBMatrix, EveryLevelMatchesThePerPixelRuleOnRandomFrames) {
    std::mt19937 rng(42);
    forEachSimdLevel([&] {
        for (int trial = 0; trial < 300; ++trial) {
            const int layout = trial % 2;
            const Matrix m = randomMatrix(rng, trial % 3);
            Frame frame = randomFrame(rng, std::uniform_int_distribution<int>(0, 255));
            Frame expected = frame;
            referenceFrame(expected, [&](uint8_t *px) { referenceApply(px, m, layout); });
            QORAApplyRGBMatrixToRGBImage(frame.pixels(), m.data(), layout, frame.rowBytes,
                                         frame.width, frame.height);
            ASSERT_EQ(frame.bytes, expected.bytes)
                << "trial " << trial << ": " << frame.width << "x" << frame.height << " rowBytes "
                << frame.rowBytes;
        }
    });
}

TEST(ApplyRGBMatrix, EmptyFramesAndMissingMatrixAreLeftAlone) {
    std::vector<uint32_t> frame(16, 0x12345678u);
    const std::vector<uint32_t> before = frame;
    QORAApplyRGBMatrixToRGBImage(frame.data(), kM3.data(), 1, 16, 0, 4);
    QORAApplyRGBMatrixToRGBImage(frame.data(), kM3.data(), 1, 16, 4, 0);
    QORAApplyRGBMatrixToRGBImage(frame.data(), kM3.data(), 1, 16, 4, -1);
    QORAApplyRGBMatrixToRGBImage(frame.data(), nullptr, 1, 16, 4, 4);
    QORARedSaturateRGBImage(frame.data(), 1, 16, 0, 4);
    QORARedSaturateRGBImage(frame.data(), 1, 16, 4, 0);
    EXPECT_EQ(frame, before);
}

TEST(RedSaturate, MarksOnlyPixelsWithAllThreeChannelsAt240OrAbove) {
    forEachSimdLevel([&] {
        for (int layout : {0, 1}) {
            const Pixel red = makePixel(layout, 255, 0, 0, 255);
            EXPECT_EQ(redSaturateRun(makePixel(layout, 240, 250, 255), layout), red);
            EXPECT_EQ(redSaturateRun(makePixel(layout, 240, 240, 240, 0), layout), red);
            for (Pixel p : {makePixel(layout, 239, 255, 255), makePixel(layout, 255, 239, 255),
                            makePixel(layout, 255, 255, 239), makePixel(layout, 0, 0, 0, 255)})
                EXPECT_EQ(redSaturateRun(p, layout), p);
        }
    });
}

TEST(RedSaturate, EveryLevelMatchesThePerPixelRuleOnRandomFrames) {
    std::mt19937 rng(9);
    forEachSimdLevel([&] {
        for (int trial = 0; trial < 200; ++trial) {
            const int layout = trial % 2;
            Frame frame = randomFrame(rng, std::uniform_int_distribution<int>(236, 255));
            Frame expected = frame;
            referenceFrame(expected, [&](uint8_t *px) { referenceRedSaturate(px, layout); });
            QORARedSaturateRGBImage(frame.pixels(), layout, frame.rowBytes, frame.width,
                                    frame.height);
            ASSERT_EQ(frame.bytes, expected.bytes) << "trial " << trial;
        }
    });
}

} // namespace
