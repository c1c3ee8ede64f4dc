// What the Bayer decoder's driver shares with its vector kernels: the frame being decoded and
// the row kernels, which fill everything but the frame's outer columns and bottom row.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor::imaging::bayer {

// A colour frame being decoded. Source rows are width bytes, sourceStride apart (negative for a
// frame read bottom up); destination rows destRowBytes apart, four bytes a pixel. The source may
// hold only some of the frame's rows, from row firstSourceRow on (a strip of a frame processed a
// few rows at a time); rows are always numbered as in the whole frame. Kernels reach every
// source row through sourceRow().
struct ColourFrame {
    const uint8_t *source;
    uint8_t *destination;
    uint32_t width;
    uint32_t height;
    uint32_t destRowBytes;
    uint32_t redRow;    // parity (0 or 1) of the rows that hold red samples
    uint32_t redColumn; // parity of the columns that hold red samples
    bool argb;          // pixel bytes A,R,G,B; otherwise B,G,R,A
    uint32_t firstSourceRow = 0;
    ptrdiff_t sourceStride = ptrdiff_t(width);

    const uint8_t *sourceRow(uint32_t y) const {
        return source + (ptrdiff_t(y) - ptrdiff_t(firstSourceRow)) * sourceStride;
    }
    uint8_t *destinationRow(uint32_t y) const { return destination + size_t(y) * destRowBytes; }
    bool isRedRow(uint32_t y) const { return (y & 1) == redRow; }
    // Parity of the columns holding row y's red or blue samples.
    uint32_t chromaColumn(uint32_t y) const { return isRedRow(y) ? redColumn : 1 - redColumn; }
};

// Vector widths, and the narrowest frame each kernel takes: the interpolating kernels fill
// columns 1 .. width - 2, the block kernels columns 1 .. width - 1, one whole vector at least.
inline constexpr uint32_t kSse2Pixels = 16;
inline constexpr uint32_t kAvx2Pixels = 32;
inline constexpr uint32_t kNeonPixels = 16;
constexpr uint32_t interpolatingMinWidth(uint32_t pixels) {
    return pixels + 2;
}
constexpr uint32_t blockMinWidth(uint32_t pixels) {
    return pixels + 1;
}

// Interpolating demosaic of output rows y .. y + rows - 1 (rows 1 or 2, none of them the bottom
// row), columns 1 .. width - 2. The row above row 0 is row 1.
void interpolateRowsSse2(const ColourFrame &frame, uint32_t y, uint32_t rows);
void interpolateRowsAvx2(const ColourFrame &frame, uint32_t y, uint32_t rows);
void interpolateRowsNeon(const ColourFrame &frame, uint32_t y, uint32_t rows);

// Block demosaic of output rows y .. y + rows - 1 (rows 1 or 2, y + rows < height), columns
// 1 .. width - 1.
void blockRowsSse2(const ColourFrame &frame, uint32_t y, uint32_t rows);
void blockRowsAvx2(const ColourFrame &frame, uint32_t y, uint32_t rows);
void blockRowsNeon(const ColourFrame &frame, uint32_t y, uint32_t rows);

// The frame of a bayerPattern 1..4 (RGGB, GRBG, GBRG, BGGR) mosaic.
ColourFrame colourFrame(const uint8_t *source, uint8_t *destination, uint32_t bayerPattern,
                        uint32_t outputFormat, uint32_t destRowBytes, uint32_t width,
                        uint32_t height);

// Demosaic of output rows [begin, end) by decodeMethod (1 interpolating, otherwise block), the
// way the whole-frame decode does them. begin is even. The source holds the rows these read:
// begin - 1 (row 1 for begin 0) to end, within the frame. The block method's bottom row repeats
// the decoded row above it, so a range ending at the bottom row must also hold the row above.
void decodeRows(const ColourFrame &frame, uint32_t decodeMethod, uint32_t begin, uint32_t end);

} // namespace qor::imaging::bayer
