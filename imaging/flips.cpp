// In-place mirrors of a raw 8-bit frame, done before the demosaic. The mosaic variants mirror
// all rows (samples) but the last and refill the last from the one two places before it, so
// the decoder still sees the tile phase it expects.

#include "imaging/simd.h"
#include "qorvanta/imaging.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#define QOR_HAVE_X86_SIMD 1
#elif defined(__aarch64__)
#include <arm_neon.h>
#define QOR_HAVE_NEON 1
#endif

namespace {

using qor::imaging::SimdLevel;

// --- Row swaps (vertical flip) ---

// Three block copies through the caller's scratch row; byte swaps when there is none.
void swapRowsScalar(uint8_t *a, uint8_t *b, size_t n, uint8_t *scratch) {
    if (!scratch) {
        std::swap_ranges(a, a + n, b);
        return;
    }
    std::memcpy(scratch, a, n);
    std::memcpy(a, b, n);
    std::memcpy(b, scratch, n);
}

#if QOR_HAVE_X86_SIMD

// The vector swaps exchange the rows through registers and leave the scratch row alone.
void swapRowsSse2(uint8_t *a, uint8_t *b, size_t n) {
    size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + x));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + x));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(a + x), vb);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(b + x), va);
    }
    std::swap_ranges(a + x, a + n, b + x);
}

__attribute__((target("avx2"))) void swapRowsAvx2(uint8_t *a, uint8_t *b, size_t n) {
    size_t x = 0;
    for (; x + 64 <= n; x += 64) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + x));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + x + 32));
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + x));
        const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + x + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(a + x), b0);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(a + x + 32), b1);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(b + x), a0);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(b + x + 32), a1);
    }
    for (; x + 32 <= n; x += 32) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + x));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + x));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(a + x), vb);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(b + x), va);
    }
    std::swap_ranges(a + x, a + n, b + x);
}

#endif // QOR_HAVE_X86_SIMD

#if QOR_HAVE_NEON

void swapRowsNeon(uint8_t *a, uint8_t *b, size_t n) {
    size_t x = 0;
    for (; x + 32 <= n; x += 32) {
        const uint8x16x2_t va = vld1q_u8_x2(a + x), vb = vld1q_u8_x2(b + x);
        vst1q_u8_x2(a + x, vb);
        vst1q_u8_x2(b + x, va);
    }
    for (; x + 16 <= n; x += 16) {
        const uint8x16_t va = vld1q_u8(a + x), vb = vld1q_u8(b + x);
        vst1q_u8(a + x, vb);
        vst1q_u8(b + x, va);
    }
    std::swap_ranges(a + x, a + n, b + x);
}

#endif // QOR_HAVE_NEON

void swapRows(uint8_t *a, uint8_t *b, size_t n, uint8_t *scratch, SimdLevel level) {
#if QOR_HAVE_X86_SIMD
    if (level == SimdLevel::Avx2) return swapRowsAvx2(a, b, n);
    if (level == SimdLevel::Sse2) return swapRowsSse2(a, b, n);
#elif QOR_HAVE_NEON
    if (level == SimdLevel::Neon) return swapRowsNeon(a, b, n);
#else
    (void)level;
#endif
    swapRowsScalar(a, b, n, scratch);
}

// --- Mirrored byte swaps (horizontal flip) ---

// Swaps row[j] with row[last - j] for j < pairs. Callers guarantee j <= last - j throughout,
// so the two sides never cross (they may share the one middle sample, which stays put).
void swapMirroredScalar(uint8_t *row, size_t pairs, size_t last) {
    for (size_t j = 0; j < pairs; ++j) std::swap(row[j], row[last - j]);
}

#if QOR_HAVE_X86_SIMD

// Blocks of V samples from both ends, each reversed into the other's place. Both blocks are
// loaded before either is stored, so a shared middle sample keeps its value.
inline __m128i reverseBytesSse2(__m128i v) {
    v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

void swapMirroredSse2(uint8_t *row, size_t pairs, size_t last) {
    size_t j = 0;
    for (; j + 16 <= pairs; j += 16) {
        uint8_t *left = row + j, *right = row + (last - j - 15);
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i *>(left));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i *>(right));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(left), reverseBytesSse2(r));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(right), reverseBytesSse2(l));
    }
    for (; j < pairs; ++j) std::swap(row[j], row[last - j]);
}

__attribute__((target("avx2"))) inline __m256i reverseBytesAvx2(__m256i v) {
    const __m256i reverseLanes =
        _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11,
                         10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, reverseLanes), _MM_SHUFFLE(1, 0, 3, 2));
}

__attribute__((target("avx2"))) void swapMirroredAvx2(uint8_t *row, size_t pairs, size_t last) {
    size_t j = 0;
    for (; j + 32 <= pairs; j += 32) {
        uint8_t *left = row + j, *right = row + (last - j - 31);
        const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(left));
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(right));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(left), reverseBytesAvx2(r));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(right), reverseBytesAvx2(l));
    }
    for (; j < pairs; ++j) std::swap(row[j], row[last - j]);
}

#endif // QOR_HAVE_X86_SIMD

#if QOR_HAVE_NEON

// As the SSE2 swaps: both blocks are loaded before either is stored.
inline uint8x16_t reverseBytesNeon(uint8x16_t v) {
    const uint8x16_t halvesReversed = vrev64q_u8(v);
    return vextq_u8(halvesReversed, halvesReversed, 8);
}

void swapMirroredNeon(uint8_t *row, size_t pairs, size_t last) {
    size_t j = 0;
    for (; j + 16 <= pairs; j += 16) {
        uint8_t *left = row + j, *right = row + (last - j - 15);
        const uint8x16_t l = vld1q_u8(left), r = vld1q_u8(right);
        vst1q_u8(left, reverseBytesNeon(r));
        vst1q_u8(right, reverseBytesNeon(l));
    }
    for (; j < pairs; ++j) std::swap(row[j], row[last - j]);
}

#endif // QOR_HAVE_NEON

void swapMirrored(uint8_t *row, size_t pairs, size_t last, SimdLevel level) {
#if QOR_HAVE_X86_SIMD
    if (level == SimdLevel::Avx2) return swapMirroredAvx2(row, pairs, last);
    if (level == SimdLevel::Sse2) return swapMirroredSse2(row, pairs, last);
#elif QOR_HAVE_NEON
    if (level == SimdLevel::Neon) return swapMirroredNeon(row, pairs, last);
#else
    (void)level;
#endif
    swapMirroredScalar(row, pairs, last);
}

} // namespace

extern "C" {

// Bayer: swap row i with row h-2-i for i < h/2, then copy row h-3 over row h-1. For an odd h the
// last pair is two distinct rows; for an even h it is one row with itself, which is skipped.
// Plain: swap row i with row h-1-i for i < h/2.
void QORAFlipVerticalImage8Bit(uint8_t *image, uint8_t *scratchRow, uint32_t rowBytes,
                               uint32_t rows, int32_t bayer) {
    if (!image || rowBytes == 0) return;
    const bool mosaic = bayer == 1;
    if (rows < (mosaic ? 3u : 2u)) return;
    const SimdLevel level = qor::imaging::activeSimdLevel();
    const size_t n = rowBytes;
    auto row = [&](size_t i) { return image + i * n; };
    const size_t lastPartner = mosaic ? rows - 2 : rows - 1;
    for (size_t i = 0; i < rows / 2; ++i)
        if (i != lastPartner - i) swapRows(row(i), row(lastPartner - i), n, scratchRow, level);
    if (mosaic) std::memcpy(row(rows - 1), row(rows - 3), n);
}

// Per row, with w = rowBytes and k = w / 8: swap sample j with w-2-j (Bayer) or w-1-j (plain)
// for j < 4k; Bayer then copies sample w-3 over w-1. Rows shorter than 8 are not mirrored.
void QORAFlipHorizontalImage8Bit(uint8_t *image, uint32_t rowBytes, uint32_t rows, int32_t bayer) {
    if (!image || rows == 0) return;
    const bool mosaic = bayer == 1;
    if (rowBytes < (mosaic ? 3u : 2u)) return;
    const SimdLevel level = qor::imaging::activeSimdLevel();
    const size_t w = rowBytes;
    const size_t pairs = w / 8 * 4;
    const size_t last = mosaic ? w - 2 : w - 1;
    for (size_t y = 0; y < rows; ++y) {
        uint8_t *row = image + y * w;
        swapMirrored(row, pairs, last, level);
        if (mosaic) row[w - 1] = row[w - 3];
    }
}

} // extern "C"
