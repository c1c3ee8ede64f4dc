// AVX2 row kernels of the Bayer decoder: the SSE2 kernels' arithmetic on 32 pixels a step.
// They are compiled for AVX2 function by function (target attribute), so the rest of the
// library keeps running on CPUs without it.

#include "imaging/bayer_decode_kernels.h"

#if defined(__SSE2__)

#include <immintrin.h>

#define QOR_AVX2 __attribute__((target("avx2")))

namespace qor::imaging::bayer {
namespace {

QOR_AVX2 inline __m256i load(const uint8_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

// floor((a + b) / 2), and the bit the floor dropped.
struct HalfSum {
    __m256i mean;
    __m256i odd;
};

QOR_AVX2 inline HalfSum halfSum(__m256i a, __m256i b) {
    const __m256i odd = _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1));
    return {_mm256_sub_epi8(_mm256_avg_epu8(a, b), odd), odd};
}

// floor((a + b + c + d) / 4) from the half sums of (a, b) and (c, d): pavgb of the two means
// rounds up when their sum is odd, which is one too many unless both halves dropped a bit.
QOR_AVX2 inline __m256i quarterSum(HalfSum p, HalfSum q) {
    const __m256i odd = _mm256_and_si256(_mm256_xor_si256(p.mean, q.mean), _mm256_set1_epi8(1));
    const __m256i roundedUp = _mm256_andnot_si256(_mm256_and_si256(p.odd, q.odd), odd);
    return _mm256_sub_epi8(_mm256_avg_epu8(p.mean, q.mean), roundedUp);
}

// mask ? a : b, bytewise.
QOR_AVX2 inline __m256i select(__m256i mask, __m256i a, __m256i b) {
    return _mm256_blendv_epi8(b, a, mask);
}

// 32 pixels from the four byte planes in memory order. The unpacks work within 128-bit lanes,
// so the planes are first reordered by groups of four bytes such that the lane halves come out
// as consecutive runs of eight pixels.
QOR_AVX2 inline __m256i spreadForUnpack(__m256i plane) {
    return _mm256_permutevar8x32_epi32(plane, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
}

QOR_AVX2 inline void storePixels(uint8_t *out, __m256i b0, __m256i b1, __m256i b2, __m256i b3) {
    const __m256i lo01 = _mm256_unpacklo_epi8(b0, b1), hi01 = _mm256_unpackhi_epi8(b0, b1);
    const __m256i lo23 = _mm256_unpacklo_epi8(b2, b3), hi23 = _mm256_unpackhi_epi8(b2, b3);
    __m256i *p = reinterpret_cast<__m256i *>(out);
    _mm256_storeu_si256(p, _mm256_unpacklo_epi16(lo01, lo23));
    _mm256_storeu_si256(p + 1, _mm256_unpackhi_epi16(lo01, lo23));
    _mm256_storeu_si256(p + 2, _mm256_unpacklo_epi16(hi01, hi23));
    _mm256_storeu_si256(p + 3, _mm256_unpackhi_epi16(hi01, hi23));
}

// A row's pixels from its own colour (red or blue), green and the other colour.
template <bool Argb>
QOR_AVX2 inline void storeRow(uint8_t *out, bool redRow, __m256i own, __m256i g, __m256i other) {
    const __m256i r = redRow ? own : other, b = redRow ? other : own;
    const __m256i opaque = _mm256_set1_epi8(-1);
    if constexpr (Argb) {
        storePixels(out, opaque, spreadForUnpack(r), spreadForUnpack(g), spreadForUnpack(b));
    } else {
        storePixels(out, spreadForUnpack(b), spreadForUnpack(g), spreadForUnpack(r), opaque);
    }
}

// Lanes on the red or blue sites of a row whose such sites have column parity chromaColumn,
// in a step starting at column x.
QOR_AVX2 inline __m256i chromaLanes(uint32_t x, uint32_t chromaColumn) {
    return _mm256_set1_epi16(((x ^ chromaColumn) & 1) ? short(0xFF00) : short(0x00FF));
}

// Interpolating demosaic of row y (and y + 1), columns 1 .. width - 2. Every lane gets the
// horizontal, vertical, cross (N, W, E, S) and diagonal means; red and blue sites keep their
// sample and take the cross and diagonal means, green sites the horizontal and vertical ones.
// The last step is moved back to end at column width - 2, redoing a few pixels.
template <bool Argb, uint32_t Rows>
QOR_AVX2 void interpolateRows(const ColourFrame &f, uint32_t y) {
    const uint8_t *mid = f.sourceRow(y);
    const uint8_t *above = f.sourceRow(y > 0 ? y - 1 : 1);
    const uint8_t *below = f.sourceRow(y + 1);
    const uint8_t *below2 = Rows == 2 ? f.sourceRow(y + 2) : below;
    uint8_t *out = f.destinationRow(y);
    uint8_t *out2 = out + f.destRowBytes;
    const bool redRow = f.isRedRow(y);
    const uint32_t chromaColumn = f.chromaColumn(y);
    const uint32_t last = f.width - 1 - kAvx2Pixels;
    for (uint32_t x = 1;; x = x + kAvx2Pixels < last ? x + kAvx2Pixels : last) {
        // The second row's red or blue sites are the first row's green ones, and back.
        const __m256i chroma = chromaLanes(x, chromaColumn);
        const __m256i b0 = load(mid + x), c0 = load(below + x);
        const HalfSum ha = halfSum(load(above + x - 1), load(above + x + 1));
        const HalfSum hb = halfSum(load(mid + x - 1), load(mid + x + 1));
        const HalfSum hc = halfSum(load(below + x - 1), load(below + x + 1));
        const HalfSum vb = halfSum(load(above + x), c0);
        storeRow<Argb>(out + size_t(x) * 4, redRow, select(chroma, b0, hb.mean),
                       select(chroma, quarterSum(hb, vb), b0),
                       select(chroma, quarterSum(ha, hc), vb.mean));
        if constexpr (Rows == 2) {
            const HalfSum hd = halfSum(load(below2 + x - 1), load(below2 + x + 1));
            const HalfSum vc = halfSum(b0, load(below2 + x));
            storeRow<Argb>(out2 + size_t(x) * 4, !redRow, select(chroma, hc.mean, c0),
                           select(chroma, c0, quarterSum(hc, vc)),
                           select(chroma, vc.mean, quarterSum(hb, hd)));
        }
        if (x == last) break;
    }
}

// Block demosaic of row y (and y + 1), columns 1 .. width - 1, lane x taking the block of
// columns x - 1 and x. The last step ends at column width - 1.
template <bool Argb, uint32_t Rows> QOR_AVX2 void blockRows(const ColourFrame &f, uint32_t y) {
    const uint8_t *top = f.sourceRow(y);
    const uint8_t *mid = f.sourceRow(y + 1);
    const uint8_t *bottom = Rows == 2 ? f.sourceRow(y + 2) : mid;
    uint8_t *out = f.destinationRow(y);
    uint8_t *out2 = out + f.destRowBytes;
    const bool redRow = f.isRedRow(y);
    const uint32_t chromaColumn = f.chromaColumn(y);
    const uint32_t last = f.width - kAvx2Pixels;
    for (uint32_t x = 1;; x = x + kAvx2Pixels < last ? x + kAvx2Pixels : last) {
        // Lanes whose block has the top row's red or blue sample on its left; the row below
        // then has its own on the right.
        const __m256i chromaLeft = chromaLanes(x - 1, chromaColumn);
        const __m256i t0 = load(top + x - 1), t1 = load(top + x);
        const __m256i m0 = load(mid + x - 1), m1 = load(mid + x);
        const __m256i tSwap = _mm256_and_si256(_mm256_xor_si256(t0, t1), chromaLeft);
        const __m256i mSwap = _mm256_and_si256(_mm256_xor_si256(m0, m1), chromaLeft);
        const __m256i midChroma = _mm256_xor_si256(m0, mSwap),
                      midGreen = _mm256_xor_si256(m1, mSwap);
        storeRow<Argb>(out + size_t(x) * 4, redRow, _mm256_xor_si256(t1, tSwap),
                       halfSum(_mm256_xor_si256(t0, tSwap), midGreen).mean, midChroma);
        if constexpr (Rows == 2) {
            const __m256i b0 = load(bottom + x - 1), b1 = load(bottom + x);
            const __m256i bSwap = _mm256_and_si256(_mm256_xor_si256(b0, b1), chromaLeft);
            storeRow<Argb>(out2 + size_t(x) * 4, !redRow, midChroma,
                           halfSum(midGreen, _mm256_xor_si256(b0, bSwap)).mean,
                           _mm256_xor_si256(b1, bSwap));
        }
        if (x == last) break;
    }
}

} // namespace

void interpolateRowsAvx2(const ColourFrame &frame, uint32_t y, uint32_t rows) {
    if (frame.argb) {
        rows == 2 ? interpolateRows<true, 2>(frame, y) : interpolateRows<true, 1>(frame, y);
    } else {
        rows == 2 ? interpolateRows<false, 2>(frame, y) : interpolateRows<false, 1>(frame, y);
    }
}

void blockRowsAvx2(const ColourFrame &frame, uint32_t y, uint32_t rows) {
    if (frame.argb) {
        rows == 2 ? blockRows<true, 2>(frame, y) : blockRows<true, 1>(frame, y);
    } else {
        rows == 2 ? blockRows<false, 2>(frame, y) : blockRows<false, 1>(frame, y);
    }
}

} // namespace qor::imaging::bayer

#endif // __SSE2__
