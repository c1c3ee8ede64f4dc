#include "imaging/simd.h"
#include "imaging/simd_levels.h"

#include <qorvanta/imaging.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using qor::imaging::SimdLevel;

using qor::imaging::testing::forEachSimdLevel;

using Bytes = std::vector<uint8_t>;

// Rows named by letters; each row's bytes are distinct noise so any misplaced byte shows.
Bytes rowsNamed(const std::string &names, size_t rowBytes) {
    Bytes frame;
    for (char name : names) {
        std::mt19937 rng{uint32_t(name)};
        for (size_t x = 0; x < rowBytes; ++x) frame.push_back(uint8_t(rng()));
    }
    return frame;
}

Bytes flippedVertically(Bytes frame, size_t rowBytes, int bayer, bool withScratch = true) {
    Bytes scratch(rowBytes);
    QORAFlipVerticalImage8Bit(frame.data(), withScratch ? scratch.data() : nullptr,
                              uint32_t(rowBytes), uint32_t(frame.size() / rowBytes), bayer);
    return frame;
}

Bytes flippedHorizontally(Bytes frame, size_t rowBytes, int bayer) {
    QORAFlipHorizontalImage8Bit(frame.data(), uint32_t(rowBytes), uint32_t(frame.size() / rowBytes),
                                bayer);
    return frame;
}

Bytes sequence(size_t n) {
    Bytes row(n);
    std::iota(row.begin(), row.end(), uint8_t(0));
    return row;
}

TEST(FlipVertical, ReversesRowsAndBayerKeepsTheRowPhase) {
    struct Case {
        std::string before;
        int bayer;
        std::string after;
    };
    const Case cases[] = {
        {"abcd", 1, "cbab"},     {"abcd", 0, "dcba"}, {"abcde", 0, "edcba"}, {"abc", 1, "bab"},
        {"abcde", 1, "dcbab"}, // odd: rows 0..3 swap pairwise, then row 2 goes over row 4
        {"abcdef", 1, "edcbab"}, {"abcd", 2, "dcba"}, // only 1 means Bayer
        {"ab", 1, "ab"},         {"a", 1, "a"},       {"a", 0, "a"},         {"", 1, ""},
    };
    forEachSimdLevel([&] {
        for (const Case &c : cases)
            for (size_t rowBytes : {1, 37, 3840})
                for (bool withScratch : {true, false})
                    EXPECT_EQ(flippedVertically(rowsNamed(c.before, rowBytes), rowBytes, c.bayer,
                                                withScratch),
                              rowsNamed(c.after, rowBytes))
                        << c.before << " bayer " << c.bayer << " rowBytes " << rowBytes;
    });
}

TEST(FlipHorizontal, MirrorsEachRowWithinItsOuterEightSampleBlocks) {
    Bytes bayer16 = sequence(16), plain16 = sequence(16), plain12 = sequence(12);
    std::reverse(bayer16.begin(), bayer16.end() - 1);
    bayer16[15] = 1;
    std::reverse(plain16.begin(), plain16.end());
    plain12 = {11, 10, 9, 8, 4, 5, 6, 7, 3, 2, 1, 0};
    forEachSimdLevel([&] {
        EXPECT_EQ(flippedHorizontally(sequence(16), 16, 1), bayer16);
        EXPECT_EQ(flippedHorizontally(sequence(16), 16, 0), plain16);
        EXPECT_EQ(flippedHorizontally(sequence(12), 12, 0), plain12);
        // Shorter than 8: nothing mirrored; Bayer still refills the last sample (3 or more).
        EXPECT_EQ(flippedHorizontally(sequence(7), 7, 0), sequence(7));
        EXPECT_EQ(flippedHorizontally(sequence(5), 5, 1), (Bytes{0, 1, 2, 3, 2}));
        EXPECT_EQ(flippedHorizontally(sequence(2), 2, 1), sequence(2));
        EXPECT_EQ(flippedHorizontally(sequence(1), 1, 1), sequence(1));
    });
}

TEST(FlipHorizontal, RowsOfWholeEightSampleBlocksAreFullyMirrored) {
    std::mt19937 rng(5);
    forEachSimdLevel([&] {
        for (size_t rowBytes : {8, 64, 72, 3840})
            for (int bayer : {0, 1}) {
                Bytes frame(rowBytes * 3);
                for (uint8_t &v : frame) v = uint8_t(rng());
                Bytes expected = frame;
                for (size_t y = 0; y < 3; ++y) {
                    uint8_t *row = expected.data() + y * rowBytes;
                    std::reverse(row, row + rowBytes - bayer);
                    if (bayer) row[rowBytes - 1] = row[rowBytes - 3];
                }
                EXPECT_EQ(flippedHorizontally(frame, rowBytes, bayer), expected)
                    << rowBytes << " bayer " << bayer;
            }
    });
}

// Every SIMD level gives the scalar result on odd sizes, and writes nothing outside the frame
// (nor past the scratch row's rowBytes).
TEST(Flips, EveryLevelMatchesScalarAndStaysInsideTheFrame) {
    constexpr size_t kGuard = 48;
    std::mt19937 rng(11);
    for (int trial = 0; trial < 400; ++trial) {
        const uint32_t rowBytes = 1 + rng() % 200, rows = rng() % 8;
        const int bayer = int(rng() % 3), vertical = trial % 2;
        Bytes original(kGuard * 2 + size_t(rowBytes) * rows);
        for (uint8_t &v : original) v = uint8_t(rng());
        auto run = [&] {
            Bytes frame = original, scratch(rowBytes + 2 * kGuard, 0xA5);
            if (vertical)
                QORAFlipVerticalImage8Bit(frame.data() + kGuard, scratch.data() + kGuard, rowBytes,
                                          rows, bayer);
            else
                QORAFlipHorizontalImage8Bit(frame.data() + kGuard, rowBytes, rows, bayer);
            for (size_t n = 0; n < kGuard; ++n) {
                EXPECT_EQ(scratch[n], 0xA5);
                EXPECT_EQ(scratch[kGuard + rowBytes + n], 0xA5);
            }
            return frame;
        };
        qor::imaging::setActiveSimdLevel(SimdLevel::Scalar);
        const Bytes expected = run();
        EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + kGuard, original.begin()));
        EXPECT_TRUE(std::equal(expected.end() - kGuard, expected.end(), original.end() - kGuard));
        forEachSimdLevel([&] {
            ASSERT_EQ(run(), expected) << (vertical ? "vertical " : "horizontal ") << rowBytes
                                       << "x" << rows << " bayer " << bayer;
        });
    }
}

} // namespace
