// Raw sensor frame to display pixels: a copy for monochrome sensors, a demosaic into 32-bit
// colour for Bayer sensors. The portable code here does the frame's edges and everything on
// CPUs without vector units; the vector kernels fill the rest.

#include <qorvanta/imaging.h>

#include "imaging/bayer_decode_kernels.h"
#include "imaging/simd.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace qor::imaging::bayer {
namespace {

enum class Site { Red, Green, Blue };

// Exact floor(sum / 3) for every sum up to 2047; ours are at most 3 * 255.
inline uint32_t divideBy3(uint32_t sum) {
    return (sum * 683u) >> 11;
}

// Floor mean of count samples adding up to sum. A pixel with no neighbour of a colour (frames
// one pixel wide or high) takes its own sample for that colour.
inline uint32_t floorMean(uint32_t sum, uint32_t count, uint32_t own) {
    switch (count) {
    case 0:
        return own;
    case 1:
        return sum;
    case 2:
        return sum >> 1;
    case 3:
        return divideBy3(sum);
    default:
        return sum >> 2;
    }
}

// Sum and count of the samples that exist among a pixel's neighbours.
struct Samples {
    uint32_t sum = 0;
    uint32_t count = 0;
    void add(const uint8_t *row, bool present, uint32_t x) {
        if (!present || row == nullptr) return;
        sum += row[x];
        ++count;
    }
    Samples operator+(const Samples &other) const { return {sum + other.sum, count + other.count}; }
};

inline void putPixel(uint8_t *pixel, uint32_t r, uint32_t g, uint32_t b, bool argb) {
    uint8_t bytes[4];
    if (argb) {
        bytes[0] = 0xFF, bytes[1] = uint8_t(r), bytes[2] = uint8_t(g), bytes[3] = uint8_t(b);
    } else {
        bytes[0] = uint8_t(b), bytes[1] = uint8_t(g), bytes[2] = uint8_t(r), bytes[3] = 0xFF;
    }
    std::memcpy(pixel, bytes, 4);
}

Site siteAt(const ColourFrame &f, uint32_t y, uint32_t x) {
    if ((x & 1) != f.chromaColumn(y)) return Site::Green;
    return f.isRedRow(y) ? Site::Red : Site::Blue;
}

// One interpolated pixel anywhere in the frame, edges included: neighbours beyond the left,
// right and bottom edges are left out of each mean, and the row above row 0 is row 1.
void interpolateEdgePixel(const ColourFrame &f, uint32_t y, uint32_t x) {
    const uint8_t *mid = f.sourceRow(y);
    const uint8_t *above = y > 0 ? f.sourceRow(y - 1) : f.height > 1 ? f.sourceRow(1) : nullptr;
    const uint8_t *below = y + 1 < f.height ? f.sourceRow(y + 1) : nullptr;
    const bool hasLeft = x > 0, hasRight = x + 1 < f.width;
    const uint32_t own = mid[x];

    Samples horizontal, vertical, diagonal;
    horizontal.add(mid, hasLeft, x - 1);
    horizontal.add(mid, hasRight, x + 1);
    vertical.add(above, true, x);
    vertical.add(below, true, x);
    for (const uint8_t *row : {above, below}) {
        diagonal.add(row, hasLeft, x - 1);
        diagonal.add(row, hasRight, x + 1);
    }

    const Site site = siteAt(f, y, x);
    uint32_t r, g, b;
    if (site == Site::Green) {
        const Samples across = f.isRedRow(y) ? horizontal : vertical;
        const Samples along = f.isRedRow(y) ? vertical : horizontal;
        r = floorMean(across.sum, across.count, own);
        b = floorMean(along.sum, along.count, own);
        g = own;
        // RGGB and GBRG frames soften the green of the outer columns with the two green
        // samples diagonally inside it.
        if (f.redColumn == 0 && (!hasLeft || !hasRight)) {
            Samples greens{own, 1};
            const uint32_t inner = hasLeft ? x - 1 : x + 1;
            const bool hasInner = hasLeft || hasRight;
            greens.add(above, hasInner, inner);
            greens.add(below, hasInner, inner);
            g = floorMean(greens.sum, greens.count, own);
        }
    } else {
        // In the bottom row the row below is left out as everywhere else, so green at a red or
        // blue site there is floor((N + W + E) / 3), not a mirrored (2 N + W + E) / 4.
        const Samples cross = horizontal + vertical;
        const uint32_t other = floorMean(diagonal.sum, diagonal.count, own);
        g = floorMean(cross.sum, cross.count, own);
        r = site == Site::Red ? own : other;
        b = site == Site::Red ? other : own;
    }
    putPixel(f.destinationRow(y) + size_t(x) * 4, r, g, b, f.argb);
}

// Interpolated pixels x in [begin, end) of a row above the bottom row, 0 < begin, end < width:
// every neighbour exists, bar the row above row 0, which is row 1.
void interpolateRowScalar(const ColourFrame &f, uint32_t y, uint32_t begin, uint32_t end) {
    const uint8_t *mid = f.sourceRow(y);
    const uint8_t *above = f.sourceRow(y > 0 ? y - 1 : 1);
    const uint8_t *below = f.sourceRow(y + 1);
    uint8_t *out = f.destinationRow(y);
    const bool redRow = f.isRedRow(y);
    const uint32_t chromaColumn = f.chromaColumn(y);
    for (uint32_t x = begin; x < end; ++x) {
        const uint32_t own = mid[x];
        const uint32_t horizontal = (mid[x - 1] + mid[x + 1]) >> 1;
        const uint32_t vertical = (above[x] + below[x]) >> 1;
        uint32_t chroma, g, other;
        if ((x & 1) == chromaColumn) {
            chroma = own;
            g = (mid[x - 1] + mid[x + 1] + above[x] + below[x]) >> 2;
            other = (above[x - 1] + above[x + 1] + below[x - 1] + below[x + 1]) >> 2;
        } else {
            chroma = horizontal;
            g = own;
            other = vertical;
        }
        putPixel(out + size_t(x) * 4, redRow ? chroma : other, g, redRow ? other : chroma, f.argb);
    }
}

// Block pixel (y, x), y < height - 1: the 2 x 2 block of rows y, y + 1 and columns x - 1, x
// (0 and 1 for x = 0) gives its red, its blue and the mean of its two greens.
void blockPixel(const ColourFrame &f, uint32_t y, uint32_t x) {
    const uint8_t *top = f.sourceRow(y);
    const uint8_t *bottom = f.sourceRow(y + 1);
    const uint32_t left = x > 0 ? x - 1 : 0;
    const bool chromaLeft = (left & 1) == f.chromaColumn(y);
    const uint32_t topChroma = chromaLeft ? top[left] : top[left + 1];
    const uint32_t bottomChroma = chromaLeft ? bottom[left + 1] : bottom[left];
    const uint32_t g =
        chromaLeft ? (top[left + 1] + bottom[left]) >> 1 : (top[left] + bottom[left + 1]) >> 1;
    const bool redTop = f.isRedRow(y);
    putPixel(f.destinationRow(y) + size_t(x) * 4, redTop ? topChroma : bottomChroma, g,
             redTop ? bottomChroma : topChroma, f.argb);
}

using RowKernel = void (*)(const ColourFrame &, uint32_t y, uint32_t rows);

// The widest kernel that the active instruction set and the frame's width allow, if any.
RowKernel chooseKernel([[maybe_unused]] uint32_t width, [[maybe_unused]] bool interpolating) {
#if defined(__SSE2__)
    const SimdLevel level = activeSimdLevel();
    const auto fits = [&](uint32_t pixels) {
        return width >= (interpolating ? interpolatingMinWidth(pixels) : blockMinWidth(pixels));
    };
    if (level >= SimdLevel::Avx2 && fits(kAvx2Pixels))
        return interpolating ? interpolateRowsAvx2 : blockRowsAvx2;
    if (level >= SimdLevel::Sse2 && fits(kSse2Pixels))
        return interpolating ? interpolateRowsSse2 : blockRowsSse2;
#elif defined(__aarch64__)
    const uint32_t minWidth =
        interpolating ? interpolatingMinWidth(kNeonPixels) : blockMinWidth(kNeonPixels);
    if (activeSimdLevel() == SimdLevel::Neon && width >= minWidth)
        return interpolating ? interpolateRowsNeon : blockRowsNeon;
#endif
    return nullptr;
}

// Rows [begin, end) of the interpolating demosaic, begin even: pairs of rows through the kernel,
// then their outer columns; the bottom row, which has no row below it, pixel by pixel.
void interpolateRows(const ColourFrame &f, uint32_t begin, uint32_t end) {
    const RowKernel kernel = chooseKernel(f.width, true);
    const uint32_t rows = std::min(end, f.height - 1);
    for (uint32_t y = begin; y < rows; y += 2) {
        const uint32_t pair = y + 1 < rows ? 2 : 1;
        if (kernel != nullptr) {
            kernel(f, y, pair);
        } else if (f.width > 2) {
            for (uint32_t i = 0; i < pair; ++i) interpolateRowScalar(f, y + i, 1, f.width - 1);
        }
        for (uint32_t i = 0; i < pair; ++i) {
            interpolateEdgePixel(f, y + i, 0);
            if (f.width > 1) interpolateEdgePixel(f, y + i, f.width - 1);
        }
    }
    if (end == f.height)
        for (uint32_t x = 0; x < f.width; ++x) interpolateEdgePixel(f, f.height - 1, x);
}

void blockRows(const ColourFrame &f, uint32_t begin, uint32_t end) {
    const RowKernel kernel = chooseKernel(f.width, false);
    const uint32_t rows = std::min(end, f.height - 1); // the bottom row has no row below
    for (uint32_t y = begin; y < rows; y += 2) {
        const uint32_t pair = y + 1 < rows ? 2 : 1;
        if (kernel != nullptr) kernel(f, y, pair);
        const uint32_t last = kernel != nullptr ? 1 : f.width; // the kernels fill columns 1 on
        for (uint32_t i = 0; i < pair; ++i) {
            for (uint32_t x = 0; x < last; ++x) blockPixel(f, y + i, x);
        }
    }
    // The bottom row repeats the row above it: its pixels only, never the row padding, as the
    // buffer may end right after the last pixel.
    if (end == f.height)
        std::memmove(f.destinationRow(f.height - 1), f.destinationRow(f.height - 2),
                     size_t(f.width) * 4);
}

void copyGrey(const uint8_t *source, uint8_t *destination, uint32_t destRowBytes, uint32_t width,
              uint32_t height) {
    if (destRowBytes == width) {
        std::memcpy(destination, source, size_t(width) * height);
        return;
    }
    for (uint32_t y = 0; y < height; ++y) {
        std::memcpy(destination + size_t(y) * destRowBytes, source + size_t(y) * width, width);
    }
}

} // namespace

ColourFrame colourFrame(const uint8_t *source, uint8_t *destination, uint32_t bayerPattern,
                        uint32_t outputFormat, uint32_t destRowBytes, uint32_t width,
                        uint32_t height) {
    // Where the red sample sits in the top-left cell: RGGB, GRBG, GBRG, BGGR.
    const uint32_t redRow = bayerPattern >= 3 ? 1 : 0;
    const uint32_t redColumn = (bayerPattern == 2 || bayerPattern == 4) ? 1 : 0;
    return ColourFrame{source,       destination, width,     height,
                       destRowBytes, redRow,      redColumn, outputFormat == 1};
}

void decodeRows(const ColourFrame &frame, uint32_t decodeMethod, uint32_t begin, uint32_t end) {
    // A frame without a whole 2 x 2 block has nothing for the block method to work on, so it
    // is interpolated instead.
    if (decodeMethod == 1 || frame.width < 2 || frame.height < 2) {
        interpolateRows(frame, begin, end);
    } else {
        blockRows(frame, begin, end);
    }
}

} // namespace qor::imaging::bayer

extern "C" void QORRAWImageDecodeToImageBuffer(const uint8_t *source, uint8_t *destination,
                                               uint32_t bayerPattern, uint32_t decodeMethod,
                                               uint32_t outputFormat, uint32_t destRowBytes,
                                               uint32_t width, uint32_t height) {
    using namespace qor::imaging::bayer;
    if (!source || !destination || bayerPattern > 4 || width == 0 || height == 0) return;
    if (bayerPattern == 0) {
        copyGrey(source, destination, destRowBytes, width, height);
        return;
    }
    decodeRows(
        colourFrame(source, destination, bayerPattern, outputFormat, destRowBytes, width, height),
        decodeMethod, 0, height);
}
