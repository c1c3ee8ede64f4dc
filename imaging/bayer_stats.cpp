// Average red, green and blue levels of a raw mosaic frame, for the automatic colour balance.
// Every sample counts in the channel its place in the 2x2 tile gives it. Rows are summed in
// integers (even and odd positions apart); floating point is used once per row and for the
// final divisions.

#include "imaging/simd.h"
#include "qorvanta/imaging.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#define QOR_HAVE_X86_SIMD 1
#elif defined(__aarch64__)
#include <arm_neon.h>
#define QOR_HAVE_NEON 1
#endif

namespace {

using qor::imaging::SimdLevel;

enum Channel { kRed, kGreen, kBlue };

// Channel of the samples at even and odd x, on even and on odd rows.
struct TileChannels {
    Channel evenRow[2];
    Channel oddRow[2];
};

// Format classes 1 RGGB, 2 GRBG, 3 GBRG, 4 BGGR.
constexpr TileChannels kTiles[4] = {
    {{kRed, kGreen}, {kGreen, kBlue}},
    {{kGreen, kRed}, {kBlue, kGreen}},
    {{kGreen, kBlue}, {kRed, kGreen}},
    {{kBlue, kGreen}, {kGreen, kRed}},
};

// Sums of the samples at even and at odd positions; count is even. The sums wrap modulo 2^32
// like any 32-bit sum (only rows of over 16 million samples could get there).
struct RowSums {
    uint32_t even, odd;
};

RowSums rowSumsScalar(const uint8_t *row, size_t count) {
    uint32_t even = 0, odd = 0;
    for (size_t x = 0; x < count; x += 2) {
        even += row[x];
        odd += row[x + 1];
    }
    return {even, odd};
}

#if QOR_HAVE_X86_SIMD

// Byte sums with SAD against zero: all bytes, and the odd bytes shifted into the even slots.
RowSums rowSumsSse2(const uint8_t *row, size_t count) {
    const __m128i zero = _mm_setzero_si128();
    __m128i all = zero, odd = zero;
    size_t x = 0;
    for (; x + 16 <= count; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x));
        all = _mm_add_epi64(all, _mm_sad_epu8(v, zero));
        odd = _mm_add_epi64(odd, _mm_sad_epu8(_mm_srli_epi16(v, 8), zero));
    }
    const uint64_t allSum = uint64_t(_mm_cvtsi128_si64(all)) +
                            uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(all, all)));
    const uint64_t oddSum = uint64_t(_mm_cvtsi128_si64(odd)) +
                            uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(odd, odd)));
    const RowSums tail = rowSumsScalar(row + x, count - x);
    return {uint32_t(allSum - oddSum) + tail.even, uint32_t(oddSum) + tail.odd};
}

__attribute__((target("avx2"))) uint64_t horizontalSum(__m256i v) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return uint64_t(_mm_cvtsi128_si64(s)) + uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
}

__attribute__((target("avx2"))) RowSums rowSumsAvx2(const uint8_t *row, size_t count) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i all = zero, odd = zero;
    size_t x = 0;
    for (; x + 32 <= count; x += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(row + x));
        all = _mm256_add_epi64(all, _mm256_sad_epu8(v, zero));
        odd = _mm256_add_epi64(odd, _mm256_sad_epu8(_mm256_srli_epi16(v, 8), zero));
    }
    const uint64_t allSum = horizontalSum(all), oddSum = horizontalSum(odd);
    const RowSums tail = rowSumsScalar(row + x, count - x);
    return {uint32_t(allSum - oddSum) + tail.even, uint32_t(oddSum) + tail.odd};
}

#endif // QOR_HAVE_X86_SIMD

#if QOR_HAVE_NEON

// 32 samples a step, split into even and odd ones; each 16-bit lane takes two of them a step,
// so 128 steps (at most 128 x 510 = 65280) fit before the lanes are added into 32-bit ones.
RowSums rowSumsNeon(const uint8_t *row, size_t count) {
    constexpr size_t kStepsPerFlush = 128;
    uint32x4_t even = vdupq_n_u32(0), odd = vdupq_n_u32(0);
    size_t x = 0;
    while (x + 32 <= count) {
        uint16x8_t evenWords = vdupq_n_u16(0), oddWords = vdupq_n_u16(0);
        for (size_t step = 0; step < kStepsPerFlush && x + 32 <= count; ++step, x += 32) {
            const uint8x16x2_t v = vld2q_u8(row + x);
            evenWords = vpadalq_u8(evenWords, v.val[0]);
            oddWords = vpadalq_u8(oddWords, v.val[1]);
        }
        even = vpadalq_u16(even, evenWords);
        odd = vpadalq_u16(odd, oddWords);
    }
    const RowSums tail = rowSumsScalar(row + x, count - x);
    return {vaddvq_u32(even) + tail.even, vaddvq_u32(odd) + tail.odd};
}

#endif // QOR_HAVE_NEON

RowSums rowSums(const uint8_t *row, size_t count, SimdLevel level) {
#if QOR_HAVE_X86_SIMD
    if (level == SimdLevel::Avx2) return rowSumsAvx2(row, count);
    if (level == SimdLevel::Sse2) return rowSumsSse2(row, count);
#elif QOR_HAVE_NEON
    if (level == SimdLevel::Neon) return rowSumsNeon(row, count);
#else
    (void)level;
#endif
    return rowSumsScalar(row, count);
}

// Nearest integer, ties to even, whatever the floating-point rounding mode; kept within a byte
// (a frame with an odd number of rows, or rows longer than their stride, can average above 255).
uint8_t toLevel(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 255.0) return 255;
    double whole = std::floor(value);
    const double fraction = value - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
    return uint8_t(whole);
}

void store(uint8_t *out, uint8_t value) {
    if (out) *out = value;
}

void tileAverages(const uint8_t *raw, uint32_t rowStride, uint32_t rowPixels, uint32_t rows,
                  const TileChannels &tile, uint8_t *avgR, uint8_t *avgG, uint8_t *avgB) {
    if (!raw || rowStride == 0 || rows == 0) {
        store(avgR, 0);
        store(avgG, 0);
        store(avgB, 0);
        return;
    }
    const SimdLevel level = qor::imaging::activeSimdLevel();
    const size_t samples = size_t(rowPixels / 2) * 2;
    float sums[3] = {0.0f, 0.0f, 0.0f};
    for (uint32_t y = 0; y < rows; ++y) {
        const RowSums row = rowSums(raw + size_t(y) * rowStride, samples, level);
        const Channel *channels = (y & 1) ? tile.oddRow : tile.evenRow;
        sums[channels[0]] += float(row.even);
        sums[channels[1]] += float(row.odd);
    }
    // The exact product: a 32-bit one could wrap, even to 0.
    const float count = float(uint64_t(rowStride) * rows);
    store(avgR, toLevel(double(sums[kRed]) * 4.0 / double(count)));
    store(avgG, toLevel((double(sums[kGreen]) + double(sums[kGreen])) / double(count)));
    store(avgB, toLevel(double(sums[kBlue]) * 4.0 / double(count)));
}

// Format classes 2 (firstRowGreenRed = 1) and 4 (firstRowGreenRed = 0).
void myGetBayerBGGRBAverages8Bit(const uint8_t *raw, uint32_t rowStride, uint32_t rowPixels,
                                 uint32_t rows, uint32_t firstRowGreenRed, uint8_t *avgR,
                                 uint8_t *avgG, uint8_t *avgB) {
    tileAverages(raw, rowStride, rowPixels, rows, kTiles[firstRowGreenRed ? 1 : 3], avgR, avgG,
                 avgB);
}

} // namespace

extern "C" void QORAGetBayerFrameAverageRGBValues(const uint8_t *raw, uint32_t formatClass,
                                                  uint32_t rowStride, uint32_t rowPixels,
                                                  uint32_t rows, uint8_t *avgR, uint8_t *avgG,
                                                  uint8_t *avgB) {
    switch (formatClass) {
    case 0: {
        // Monochrome: the mean of the three averages of the frame read as class 2.
        uint8_t r = 0, g = 0, b = 0;
        myGetBayerBGGRBAverages8Bit(raw, rowStride, rowPixels, rows, 1, &r, &g, &b);
        const uint8_t grey = uint8_t((unsigned(r) + g + b) / 3);
        store(avgR, grey);
        store(avgG, grey);
        store(avgB, grey);
        break;
    }
    case 2:
    case 4:
        myGetBayerBGGRBAverages8Bit(raw, rowStride, rowPixels, rows, formatClass == 2, avgR, avgG,
                                    avgB);
        break;
    case 1:
    case 3:
        tileAverages(raw, rowStride, rowPixels, rows, kTiles[formatClass - 1], avgR, avgG, avgB);
        break;
    default:
        break;
    }
}
