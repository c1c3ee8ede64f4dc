#include "imaging/reference_bayer_decode.h"

#include "imaging/simd.h"
#include "imaging/simd_levels.h"
#include <qorvanta/imaging.h>

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kInterpolating = 1, kBlock = 0;
constexpr uint32_t kArgb = 1, kBgra = 0;
constexpr size_t kGuard = 64;

// Guard bytes differ from place to place, so that bytes moved from one guard to another show.
uint8_t canary(size_t i) {
    return uint8_t((i * 2654435761u) >> 13);
}

// Source bytes placed right after or right before an inaccessible page, so that reading past
// that end of the frame faults.
class GuardedSource {
public:
    GuardedSource(const std::vector<uint8_t> &bytes, bool againstEnd) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t body = (bytes.size() + page - 1) / page * page + page;
        size_ = body + 2 * page;
        base_ = static_cast<uint8_t *>(
            mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_, page, PROT_NONE);
        mprotect(base_ + page + body, page, PROT_NONE);
        data_ = againstEnd ? base_ + page + body - bytes.size() : base_ + page;
        if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedSource() { munmap(base_, size_); }
    const uint8_t *data() const { return data_; }

private:
    uint8_t *base_;
    uint8_t *data_;
    size_t size_;
};

// A destination of height rows destRowBytes apart, the last row only as long as its pixels,
// with canary bytes before, after and between the rows.
struct GuardedDestination {
    uint32_t rowBytes, pixelBytes, height;
    std::vector<uint8_t> buffer;

    GuardedDestination(uint32_t rowBytes, uint32_t pixelBytes, uint32_t height)
        : rowBytes(rowBytes), pixelBytes(pixelBytes), height(height),
          buffer(2 * kGuard + (height ? size_t(height - 1) * rowBytes + pixelBytes : 0)) {
        for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = canary(i);
    }
    uint8_t *data() { return buffer.data() + kGuard; }

    bool isPixelByte(size_t i) const {
        if (i < kGuard || height == 0) return false;
        const size_t offset = i - kGuard;
        return offset / rowBytes < height && offset % rowBytes < pixelBytes;
    }
    // The pixels without padding; fails the test if any other byte changed.
    std::vector<uint8_t> pixels() const {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < buffer.size(); ++i) {
            if (isPixelByte(i)) {
                out.push_back(buffer[i]);
            } else if (buffer[i] != canary(i)) {
                ADD_FAILURE() << "byte " << i << " outside the pixels was written";
                break;
            }
        }
        return out;
    }
};

std::vector<uint8_t> randomFrame(uint32_t width, uint32_t height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> frame(size_t(width) * height);
    for (uint8_t &v : frame) v = uint8_t(rng());
    return frame;
}

// Colour frames decoded into a tight destination, channels read back as R, G, B.
struct Decoded {
    std::vector<uint8_t> pixels;
    uint32_t width;
    int r(uint32_t y, uint32_t x) const { return pixels[(y * width + x) * 4 + 1]; }
    int g(uint32_t y, uint32_t x) const { return pixels[(y * width + x) * 4 + 2]; }
    int b(uint32_t y, uint32_t x) const { return pixels[(y * width + x) * 4 + 3]; }
};

Decoded decodeArgb(const std::vector<uint8_t> &frame, uint32_t pattern, uint32_t method,
                   uint32_t width, uint32_t height) {
    Decoded out{std::vector<uint8_t>(size_t(width) * height * 4), width};
    QORRAWImageDecodeToImageBuffer(frame.data(), out.pixels.data(), pattern, method, kArgb,
                                   width * 4, width, height);
    return out;
}

using qor::imaging::testing::forEachSimdLevel;

TEST(RawDecodeMonochrome, CopiesRowsAndLeavesRowPaddingUntouched) {
    for (uint32_t method : {kInterpolating, kBlock}) {
        for (uint32_t padding : {0u, 3u}) {
            const uint32_t width = 37, height = 5;
            const std::vector<uint8_t> frame = randomFrame(width, height, padding);
            GuardedDestination dest(width + padding, width, height);
            QORRAWImageDecodeToImageBuffer(frame.data(), dest.data(), 0, method, kArgb,
                                           width + padding, width, height);
            EXPECT_EQ(dest.pixels(), frame) << "padding " << padding;
        }
    }
}

TEST(RawDecode, UnknownPatternAndEmptyFramesWriteNothing) {
    const std::vector<uint8_t> frame = randomFrame(8, 4, 1);
    for (uint32_t method : {kInterpolating, kBlock}) {
        for (uint32_t pattern : {5u, 6u, 0xFFFFFFFFu}) {
            GuardedDestination dest(32, 32, 4);
            QORRAWImageDecodeToImageBuffer(frame.data(), dest.data(), pattern, method, kArgb, 32, 8,
                                           4);
            for (size_t i = 0; i < dest.buffer.size(); ++i) ASSERT_EQ(dest.buffer[i], canary(i));
        }
        for (uint32_t pattern : {0u, 1u, 4u}) {
            GuardedDestination dest(32, 32, 4);
            QORRAWImageDecodeToImageBuffer(nullptr, dest.data(), pattern, method, kArgb, 32, 0, 4);
            QORRAWImageDecodeToImageBuffer(nullptr, dest.data(), pattern, method, kArgb, 32, 8, 0);
            for (size_t i = 0; i < dest.buffer.size(); ++i) ASSERT_EQ(dest.buffer[i], canary(i));
        }
    }
}

TEST(RawDecode, UniformFrameDecodesToUniformGreyAtEverySize) {
    const uint32_t sizes[][2] = {{1, 1}, {1, 2}, {2, 1}, {3, 3}, {5, 7}, {40, 9}, {71, 4}};
    forEachSimdLevel([&] {
        for (auto [width, height] : sizes) {
            const std::vector<uint8_t> frame(size_t(width) * height, 77);
            for (uint32_t pattern = 1; pattern <= 4; ++pattern) {
                for (uint32_t method : {kInterpolating, kBlock}) {
                    const Decoded out = decodeArgb(frame, pattern, method, width, height);
                    for (size_t i = 0; i < out.pixels.size(); i += 4) {
                        const uint8_t expected[4] = {0xFF, 77, 77, 77};
                        ASSERT_EQ(std::memcmp(&out.pixels[i], expected, 4), 0)
                            << width << "x" << height << " pattern " << pattern << " method "
                            << method << " pixel " << i / 4;
                    }
                }
            }
        }
    });
}

TEST(RawDecodeInterpolating, SingleRedSampleSpreadsOnlyIntoRed) {
    std::vector<uint8_t> frame(8 * 6, 0);
    frame[2 * 8 + 2] = 240;
    forEachSimdLevel([&] {
        const Decoded out = decodeArgb(frame, 1, kInterpolating, 8, 6);
        for (uint32_t y = 0; y < 6; ++y) {
            for (uint32_t x = 0; x < 8; ++x) {
                const uint32_t dy = y > 2 ? y - 2 : 2 - y, dx = x > 2 ? x - 2 : 2 - x;
                const int red = dy > 1 || dx > 1 ? 0 : 240 >> (dy + dx);
                EXPECT_EQ(out.r(y, x), red) << y << "," << x;
                EXPECT_EQ(out.g(y, x), 0) << y << "," << x;
                EXPECT_EQ(out.b(y, x), 0) << y << "," << x;
            }
        }
    });
}

// The edge rules on an RGGB frame, each written out from its sample positions.
TEST(RawDecodeInterpolating, EdgeRulesOfAnRggbFrame) {
    const uint32_t w = 6, h = 4;
    const std::vector<uint8_t> frame = randomFrame(w, h, 7);
    const auto s = [&](uint32_t y, uint32_t x) { return int(frame[y * w + x]); };
    forEachSimdLevel([&] {
        const Decoded out = decodeArgb(frame, 1, kInterpolating, w, h);
        // Top row: the row above is row 1.
        EXPECT_EQ(out.g(0, 2), (s(0, 1) + s(0, 3) + 2 * s(1, 2)) >> 2);
        EXPECT_EQ(out.b(0, 2), (s(1, 1) + s(1, 3)) >> 1);
        // Top-left corner: left-out neighbours and the mirrored row together.
        EXPECT_EQ(out.g(0, 0), (s(0, 1) + 2 * s(1, 0)) / 3);
        EXPECT_EQ(out.b(0, 0), s(1, 1));
        // Left edge, red site: a mean of three.
        EXPECT_EQ(out.g(2, 0), (s(1, 0) + s(2, 1) + s(3, 0)) / 3);
        // Outer-column greens blend with their inner diagonal greens.
        EXPECT_EQ(out.g(1, 0), (s(1, 0) + s(0, 1) + s(2, 1)) / 3);
        EXPECT_EQ(out.g(0, w - 1), (s(0, w - 1) + 2 * s(1, w - 2)) / 3);
        EXPECT_EQ(out.g(2, w - 1), (s(2, w - 1) + s(1, w - 2) + s(3, w - 2)) / 3);
        EXPECT_EQ(out.g(h - 1, 0), (s(h - 1, 0) + s(h - 2, 1)) >> 1);
        EXPECT_EQ(out.r(1, 0), (s(0, 0) + s(2, 0)) >> 1);
        EXPECT_EQ(out.b(1, 0), s(1, 1));
        // Bottom row: the row below is left out, green at a blue site is a mean of three.
        EXPECT_EQ(out.g(h - 1, 3), (s(h - 2, 3) + s(h - 1, 2) + s(h - 1, 4)) / 3);
        EXPECT_EQ(out.r(h - 1, 3), (s(h - 2, 2) + s(h - 2, 4)) >> 1);
        EXPECT_EQ(out.r(h - 1, 2), s(h - 2, 2));
        EXPECT_EQ(out.g(h - 1, w - 1), (s(h - 2, w - 1) + s(h - 1, w - 2)) >> 1);
        EXPECT_EQ(out.r(h - 1, w - 1), s(h - 2, w - 2));
    });
    // GRBG keeps the own sample of its outer-column greens.
    const Decoded grbg = decodeArgb(frame, 2, kInterpolating, w, h);
    EXPECT_EQ(grbg.g(0, 0), s(0, 0));
    EXPECT_EQ(grbg.g(1, w - 1), s(1, w - 1));
}

TEST(RawDecodeBlock, EachPixelTakesItsBlockAndTheLastRowRepeats) {
    const uint32_t w = 6, h = 5;
    const std::vector<uint8_t> frame = randomFrame(w, h, 3);
    const auto s = [&](uint32_t y, uint32_t x) { return int(frame[y * w + x]); };
    forEachSimdLevel([&] {
        const Decoded out = decodeArgb(frame, 1, kBlock, w, h);
        for (uint32_t x : {0u, 1u}) {
            EXPECT_EQ(out.r(0, x), s(0, 0));
            EXPECT_EQ(out.g(0, x), (s(0, 1) + s(1, 0)) >> 1);
            EXPECT_EQ(out.b(0, x), s(1, 1));
        }
        EXPECT_EQ(out.r(0, 2), s(0, 2));
        EXPECT_EQ(out.g(0, 2), (s(0, 1) + s(1, 2)) >> 1);
        EXPECT_EQ(out.b(0, 2), s(1, 1));
        EXPECT_EQ(out.r(1, 0), s(2, 0));
        EXPECT_EQ(out.g(1, 0), (s(1, 0) + s(2, 1)) >> 1);
        EXPECT_EQ(out.b(1, 0), s(1, 1));
        EXPECT_TRUE(
            std::equal(out.pixels.end() - w * 4, out.pixels.end(), out.pixels.end() - 2 * w * 4));
    });
}

TEST(RawDecode, EveryPixelIsOpaqueInEitherLayout) {
    const uint32_t w = 37, h = 5;
    const std::vector<uint8_t> frame = randomFrame(w, h, 11);
    forEachSimdLevel([&] {
        for (uint32_t method : {kInterpolating, kBlock}) {
            for (uint32_t layout : {kArgb, kBgra, 2u}) {
                std::vector<uint8_t> out(w * h * 4);
                QORRAWImageDecodeToImageBuffer(frame.data(), out.data(), 4, method, layout, w * 4,
                                               w, h);
                const size_t alpha = layout == kArgb ? 0 : 3;
                for (size_t i = 0; i < out.size(); i += 4) ASSERT_EQ(out[i + alpha], 0xFF) << i;
            }
        }
    });
}

// Every phase, method and layout against the reference, on padded and unpadded rows, at
// sizes that put every column and row on an edge, in a kernel step, or in a step's tail.
TEST(RawDecode, MatchesTheReferenceAtEverySize) {
    const uint32_t sizes[][2] = {{1, 1},  {1, 2},  {2, 1},  {2, 2},  {3, 3},  {1, 6},
                                 {6, 1},  {5, 7},  {17, 9}, {18, 2}, {19, 3}, {33, 4},
                                 {34, 5}, {35, 2}, {64, 3}, {67, 6}, {96, 4}, {131, 7}};
    uint32_t seed = 0;
    forEachSimdLevel([&] {
        for (auto [width, height] : sizes) {
            const std::vector<uint8_t> frame = randomFrame(width, height, ++seed);
            const GuardedSource source(frame, seed % 2 == 0);
            for (uint32_t pattern = 0; pattern <= 4; ++pattern) {
                const uint32_t pixelBytes = pattern == 0 ? width : width * 4;
                for (uint32_t method : {kInterpolating, kBlock}) {
                    for (uint32_t layout : {kArgb, kBgra}) {
                        for (uint32_t padding : {0u, 5u}) {
                            GuardedDestination dest(pixelBytes + padding, pixelBytes, height);
                            QORRAWImageDecodeToImageBuffer(source.data(), dest.data(), pattern,
                                                           method, layout, pixelBytes + padding,
                                                           width, height);
                            const std::vector<uint8_t> expected =
                                pattern == 0 ? frame
                                             : qor::test::referenceBayerDecode(
                                                   frame, pattern, method, layout, width, height);
                            ASSERT_EQ(dest.pixels(), expected)
                                << width << "x" << height << " pattern " << pattern << " method "
                                << method << " layout " << layout << " padding " << padding;
                        }
                    }
                }
            }
        }
    });
}

} // namespace
