// NEON row kernels of the Bayer decoder: the SSE2 kernels' steps on 16 pixels at a time, two
// output rows sharing their source rows. NEON has both halving adds, so the means stay in 8-bit
// lanes: vhadd is the floor of a mean of two, and a mean of four is the floor mean of two such
// means, plus one where both halves dropped a bit and their own sum is odd.

#include "imaging/bayer_decode_kernels.h"

#if defined(__aarch64__)

#include <arm_neon.h>

namespace qor::imaging::bayer {
namespace {

// floor((a + b) / 2), and the bit the floor dropped.
struct HalfSum {
    uint8x16_t mean;
    uint8x16_t odd;
};

inline HalfSum halfSum(uint8x16_t a, uint8x16_t b) {
    return {vhaddq_u8(a, b), vandq_u8(veorq_u8(a, b), vdupq_n_u8(1))};
}

// floor((a + b + c + d) / 4) from the half sums of (a, b) and (c, d).
inline uint8x16_t quarterSum(HalfSum p, HalfSum q) {
    const uint8x16_t carry = vandq_u8(vandq_u8(p.odd, q.odd), veorq_u8(p.mean, q.mean));
    return vaddq_u8(vhaddq_u8(p.mean, q.mean), carry);
}

// A row's 16 pixels from its own colour (red or blue), green and the other colour.
template <bool Argb>
inline void storeRow(uint8_t *out, bool redRow, uint8x16_t own, uint8x16_t g, uint8x16_t other) {
    const uint8x16_t r = redRow ? own : other, b = redRow ? other : own;
    const uint8x16_t opaque = vdupq_n_u8(0xFF);
    uint8x16x4_t pixels;
    if constexpr (Argb) {
        pixels = {{opaque, r, g, b}};
    } else {
        pixels = {{b, g, r, opaque}};
    }
    vst4q_u8(out, pixels);
}

// Every other lane set, from lane 0 or from lane 1.
constexpr uint8_t kAlternate[17] = {0xFF, 0,    0xFF, 0,    0xFF, 0,    0xFF, 0,   0xFF,
                                    0,    0xFF, 0,    0xFF, 0,    0xFF, 0,    0xFF};

// Lanes on the red or blue sites of a row whose such sites have column parity chromaColumn,
// in a step starting at column x.
inline uint8x16_t chromaLanes(uint32_t x, uint32_t chromaColumn) {
    return vld1q_u8(kAlternate + ((x ^ chromaColumn) & 1));
}

// Interpolating demosaic of row y (and y + 1), columns 1 .. width - 2: red and blue sites keep
// their sample and take the cross (N, W, E, S) and diagonal means, green sites the horizontal
// and vertical ones. The last step is moved back to end at column width - 2, redoing a few
// pixels.
template <bool Argb, uint32_t Rows> void interpolateRows(const ColourFrame &f, uint32_t y) {
    const uint8_t *mid = f.sourceRow(y);
    const uint8_t *above = f.sourceRow(y > 0 ? y - 1 : 1);
    const uint8_t *below = f.sourceRow(y + 1);
    const uint8_t *below2 = Rows == 2 ? f.sourceRow(y + 2) : below;
    uint8_t *out = f.destinationRow(y);
    uint8_t *out2 = out + f.destRowBytes;
    const bool redRow = f.isRedRow(y);
    const uint32_t chromaColumn = f.chromaColumn(y);
    const uint32_t last = f.width - 1 - kNeonPixels;
    for (uint32_t x = 1;; x = x + kNeonPixels < last ? x + kNeonPixels : last) {
        // The second row's red or blue sites are the first row's green ones, and back.
        const uint8x16_t chroma = chromaLanes(x, chromaColumn);
        const uint8x16_t b0 = vld1q_u8(mid + x), c0 = vld1q_u8(below + x);
        const HalfSum ha = halfSum(vld1q_u8(above + x - 1), vld1q_u8(above + x + 1));
        const HalfSum hb = halfSum(vld1q_u8(mid + x - 1), vld1q_u8(mid + x + 1));
        const HalfSum hc = halfSum(vld1q_u8(below + x - 1), vld1q_u8(below + x + 1));
        const HalfSum vb = halfSum(vld1q_u8(above + x), c0);
        storeRow<Argb>(out + size_t(x) * 4, redRow, vbslq_u8(chroma, b0, hb.mean),
                       vbslq_u8(chroma, quarterSum(hb, vb), b0),
                       vbslq_u8(chroma, quarterSum(ha, hc), vb.mean));
        if constexpr (Rows == 2) {
            const HalfSum hd = halfSum(vld1q_u8(below2 + x - 1), vld1q_u8(below2 + x + 1));
            const HalfSum vc = halfSum(b0, vld1q_u8(below2 + x));
            storeRow<Argb>(out2 + size_t(x) * 4, !redRow, vbslq_u8(chroma, hc.mean, c0),
                           vbslq_u8(chroma, c0, quarterSum(hc, vc)),
                           vbslq_u8(chroma, vc.mean, quarterSum(hb, hd)));
        }
        if (x == last) break;
    }
}

// Block demosaic of row y (and y + 1), columns 1 .. width - 1, lane x taking the block of
// columns x - 1 and x. The last step ends at column width - 1.
template <bool Argb, uint32_t Rows> void blockRows(const ColourFrame &f, uint32_t y) {
    const uint8_t *top = f.sourceRow(y);
    const uint8_t *mid = f.sourceRow(y + 1);
    const uint8_t *bottom = Rows == 2 ? f.sourceRow(y + 2) : mid;
    uint8_t *out = f.destinationRow(y);
    uint8_t *out2 = out + f.destRowBytes;
    const bool redRow = f.isRedRow(y);
    const uint32_t chromaColumn = f.chromaColumn(y);
    const uint32_t last = f.width - kNeonPixels;
    for (uint32_t x = 1;; x = x + kNeonPixels < last ? x + kNeonPixels : last) {
        // Lanes whose block has the top row's red or blue sample on its left; the row below
        // then has its own on the right.
        const uint8x16_t left = chromaLanes(x - 1, chromaColumn);
        const uint8x16_t t0 = vld1q_u8(top + x - 1), t1 = vld1q_u8(top + x);
        const uint8x16_t m0 = vld1q_u8(mid + x - 1), m1 = vld1q_u8(mid + x);
        const uint8x16_t midChroma = vbslq_u8(left, m1, m0), midGreen = vbslq_u8(left, m0, m1);
        storeRow<Argb>(out + size_t(x) * 4, redRow, vbslq_u8(left, t0, t1),
                       vhaddq_u8(vbslq_u8(left, t1, t0), midGreen), midChroma);
        if constexpr (Rows == 2) {
            const uint8x16_t b0 = vld1q_u8(bottom + x - 1), b1 = vld1q_u8(bottom + x);
            storeRow<Argb>(out2 + size_t(x) * 4, !redRow, midChroma,
                           vhaddq_u8(midGreen, vbslq_u8(left, b1, b0)), vbslq_u8(left, b0, b1));
        }
        if (x == last) break;
    }
}

} // namespace

void interpolateRowsNeon(const ColourFrame &frame, uint32_t y, uint32_t rows) {
    if (frame.argb) {
        rows == 2 ? interpolateRows<true, 2>(frame, y) : interpolateRows<true, 1>(frame, y);
    } else {
        rows == 2 ? interpolateRows<false, 2>(frame, y) : interpolateRows<false, 1>(frame, y);
    }
}

void blockRowsNeon(const ColourFrame &frame, uint32_t y, uint32_t rows) {
    if (frame.argb) {
        rows == 2 ? blockRows<true, 2>(frame, y) : blockRows<true, 1>(frame, y);
    } else {
        rows == 2 ? blockRows<false, 2>(frame, y) : blockRows<false, 1>(frame, y);
    }
}

} // namespace qor::imaging::bayer

#endif // __aarch64__
