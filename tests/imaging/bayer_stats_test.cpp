#include "imaging/simd.h"
#include "imaging/simd_levels.h"

#include <qorvanta/imaging.h>

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using qor::imaging::SimdLevel;

using qor::imaging::testing::forEachSimdLevel;

struct Averages {
    uint8_t r = 77, g = 77, b = 77;
    bool operator==(const Averages &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Averages &a) {
    return os << "(" << int(a.r) << ", " << int(a.g) << ", " << int(a.b) << ")";
}

Averages averages(const std::vector<uint8_t> &raw, uint32_t formatClass, uint32_t rowStride,
                  uint32_t rowPixels, uint32_t rows) {
    Averages a;
    QORAGetBayerFrameAverageRGBValues(raw.data(), formatClass, rowStride, rowPixels, rows, &a.r,
                                      &a.g, &a.b);
    return a;
}

// Row and column parity of the red site of each class; blue sits diagonally opposite.
struct Site {
    int row, x;
};
constexpr Site kRedSite[5] = {{0, 1}, {0, 0}, {0, 1}, {1, 0}, {1, 1}}; // class 0 reads as 2

std::vector<uint8_t> tileFrame(uint32_t formatClass, uint32_t width, uint32_t rows, uint8_t red,
                               uint8_t green, uint8_t blue) {
    std::vector<uint8_t> raw(size_t(width) * rows);
    const Site s = kRedSite[formatClass];
    for (uint32_t y = 0; y < rows; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const bool redRow = int(y % 2) == s.row, redColumn = int(x % 2) == s.x;
            raw[y * width + x] = redRow && redColumn ? red : !redRow && !redColumn ? blue : green;
        }
    return raw;
}

TEST(BayerFrameAverages, UniformFrameGivesItsLevelInEveryClass) {
    forEachSimdLevel([] {
        for (auto [width, rows] : {std::pair{8u, 6u}, {3840u, 4u}})
            for (uint8_t level : {100, 255})
                for (uint32_t formatClass = 0; formatClass <= 4; ++formatClass) {
                    const std::vector<uint8_t> raw(size_t(width) * rows, level);
                    EXPECT_EQ(averages(raw, formatClass, width, width, rows),
                              (Averages{level, level, level}))
                        << width << " class " << formatClass;
                }
    });
}

TEST(BayerFrameAverages, EachClassCountsSamplesInItsTileChannel) {
    forEachSimdLevel([] {
        for (uint32_t formatClass = 1; formatClass <= 4; ++formatClass) {
            const auto raw = tileFrame(formatClass, 72, 6, 200, 60, 80);
            EXPECT_EQ(averages(raw, formatClass, 72, 72, 6), (Averages{200, 60, 80}))
                << formatClass;
        }
        // Red sites of RGGB are the blue sites of BGGR.
        const auto raw = tileFrame(1, 72, 6, 200, 0, 0);
        EXPECT_EQ(averages(raw, 1, 72, 72, 6), (Averages{200, 0, 0}));
        EXPECT_EQ(averages(raw, 4, 72, 72, 6), (Averages{0, 0, 200}));
    });
}

TEST(BayerFrameAverages, MonochromeIsTheIntegerMeanOfTheClass2Averages) {
    const auto raw = tileFrame(2, 40, 4, 90, 100, 112);
    EXPECT_EQ(averages(raw, 2, 40, 40, 4), (Averages{90, 100, 112}));
    EXPECT_EQ(averages(raw, 0, 40, 40, 4), (Averages{100, 100, 100})); // 302 / 3
}

TEST(BayerFrameAverages, OddRowLengthDropsTheLastSampleButDividesByTheStride) {
    // Two rows of stride 6, five samples read: two pairs a row, over a count of 12.
    const std::vector<uint8_t> raw(12, 120);
    EXPECT_EQ(averages(raw, 1, 6, 5, 2), (Averages{80, 80, 80}));
}

TEST(BayerFrameAverages, HalfwayAveragesRoundToEven) {
    // RGGB, 4 x 2: the red average is the mean of the two red samples.
    for (auto [a, b, expected] : {std::tuple{2, 3, 2}, {1, 2, 2}, {3, 4, 4}, {4, 5, 4}}) {
        std::vector<uint8_t> raw(8, 0);
        raw[0] = uint8_t(a), raw[2] = uint8_t(b);
        EXPECT_EQ(averages(raw, 1, 4, 4, 2), (Averages{uint8_t(expected), 0, 0})) << a << b;
    }
}

TEST(BayerFrameAverages, AveragesBeyondAByteSaturate) {
    // A single row holds twice its share of red: 4 x 255 x pairs / stride = 510.
    const std::vector<uint8_t> raw(16, 255);
    EXPECT_EQ(averages(raw, 1, 16, 16, 1), (Averages{255, 255, 0}));
}

TEST(BayerFrameAverages, DegenerateArgumentsGiveZeroOrLeaveOutputsAlone) {
    const std::vector<uint8_t> raw(64, 50);
    EXPECT_EQ(averages(raw, 5, 8, 8, 8), Averages{});
    EXPECT_EQ(averages(raw, 0xFFFFFFFFu, 8, 8, 8), Averages{});
    for (uint32_t formatClass = 0; formatClass <= 4; ++formatClass) {
        EXPECT_EQ(averages(raw, formatClass, 8, 8, 0), (Averages{0, 0, 0}));
        EXPECT_EQ(averages(raw, formatClass, 0, 8, 8), (Averages{0, 0, 0}));
    }
    uint8_t r = 1, b = 1;
    QORAGetBayerFrameAverageRGBValues(raw.data(), 1, 8, 8, 8, &r, nullptr, &b);
    EXPECT_EQ(r, 50);
    EXPECT_EQ(b, 50);
    QORAGetBayerFrameAverageRGBValues(raw.data(), 0, 8, 8, 8, nullptr, nullptr, nullptr);
}

TEST(BayerFrameAverages, EveryLevelMatchesScalarOnRandomFrames) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 300; ++trial) {
        const uint32_t rowPixels = rng() % 300, rowStride = rowPixels + rng() % 5;
        const uint32_t rows = 1 + rng() % 6, formatClass = rng() % 5;
        if (rowStride == 0) continue;
        // Exactly the bytes read: the last row ends at its last sample.
        std::vector<uint8_t> raw(size_t(rows - 1) * rowStride + rowPixels);
        const bool bright = trial % 2;
        for (uint8_t &v : raw) v = uint8_t(bright ? 200 + rng() % 56 : rng());
        qor::imaging::setActiveSimdLevel(SimdLevel::Scalar);
        const Averages expected = averages(raw, formatClass, rowStride, rowPixels, rows);
        forEachSimdLevel([&] {
            EXPECT_EQ(averages(raw, formatClass, rowStride, rowPixels, rows), expected)
                << "trial " << trial;
        });
    }
}

// Rows of thousands of bright samples: the vector sums gather them in narrow partial sums that
// must be carried into wider ones before they fill up; rows end past a whole vector step.
TEST(BayerFrameAverages, LongBrightRowsAtEveryLevel) {
    std::mt19937 rng(17);
    for (uint32_t rowPixels : {4127u, 8192u + 94, 20000u + 31}) {
        const uint32_t rowStride = rowPixels + rowPixels % 2, rows = 2;
        forEachSimdLevel([&] {
            const std::vector<uint8_t> white(size_t(rowStride) * rows, 255);
            for (uint32_t formatClass : {1u, 2u})
                EXPECT_EQ(averages(white, formatClass, rowStride, rowStride, rows),
                          (Averages{255, 255, 255}))
                    << rowPixels;
        });
        std::vector<uint8_t> raw(size_t(rowStride) * rows);
        for (uint8_t &v : raw) v = uint8_t(200 + rng() % 56);
        for (uint32_t formatClass : {1u, 4u}) {
            qor::imaging::setActiveSimdLevel(SimdLevel::Scalar);
            const Averages expected = averages(raw, formatClass, rowStride, rowPixels, rows);
            forEachSimdLevel([&] {
                EXPECT_EQ(averages(raw, formatClass, rowStride, rowPixels, rows), expected)
                    << rowPixels << " class " << formatClass;
            });
        }
    }
}

} // namespace
