#include "imaging/frame_path.h"

#include "imaging/bayer_decode_kernels.h"

#include <qorvanta/imaging.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace qor::imaging {
namespace {

// Decoded bytes of one strip: with the few raw rows it reads, well inside the 512 KB to 1 MB
// L2 cache of the cores the driver runs on (x86-64 desktops, Cortex-A72/A76 boards).
constexpr size_t kStripBytes = 128 * 1024;

// The raw row that the vertical flip puts at row y. A mosaic flip keeps the tile phase: rows
// 0 .. height - 2 are reversed among themselves and the bottom row repeats the row two above
// it, which is raw row 1.
uint32_t flippedSourceRow(uint32_t y, uint32_t height, bool flip, bool mosaic) {
    if (!flip) return y;
    if (mosaic) {
        if (height < 3) return y;
        return y + 1 < height ? height - 2 - y : 1;
    }
    return height < 2 ? y : height - 1 - y;
}

// The raw rows of rows from .. to of the flipped frame, mirrored in place with the exported
// horizontal flip, so each row ends as the whole-frame flip leaves it. A mosaic frame's flipped
// bottom row is raw row 1 again, mirrored with the row two above it: never mirrored twice.
void mirrorRawRows(const FramePathJob &job, uint32_t from, uint32_t to) {
    const bool mosaic = job.bayerPattern != 0;
    const uint32_t height = job.height;
    const bool flipped = job.flipVertical && height >= (mosaic ? 3u : 2u);
    if (flipped && mosaic && to == height - 1) --to;
    if (from > to || to >= height) return;
    const uint32_t top = flipped ? flippedSourceRow(to, height, true, mosaic) : from;
    QORAFlipHorizontalImage8Bit(job.raw + size_t(top) * job.width, job.width, to - from + 1,
                                mosaic ? 1 : 0);
}

// Raw samples of the flipped frame straight into the destination rows: grey frames, and the
// raw output of any frame. There is nothing to keep in the cache, so no strips.
void copyFlipped(const FramePathJob &job, uint32_t rowBytes) {
    const bool mosaic = job.bayerPattern != 0;
    if (job.flipHorizontal) mirrorRawRows(job, 0, job.height - 1);
    for (uint32_t y = 0; y < job.height; ++y) {
        const uint32_t from = flippedSourceRow(y, job.height, job.flipVertical, mosaic);
        std::memcpy(job.destination + size_t(y) * rowBytes, job.raw + size_t(from) * job.width,
                    job.width);
    }
}

// The raw rows a strip's rows read, once flipped. Each streaming thread keeps its own, grown to
// the widest frame it has seen.
std::vector<uint8_t> &stripSource(size_t bytes) {
    thread_local std::vector<uint8_t> rows;
    if (rows.size() < bytes) rows.resize(bytes);
    return rows;
}

// Points the decoder at rows first .. last of the flipped frame where they lie in the raw frame
// in order, read bottom up under a vertical flip; false where they do not (the mosaic flip's
// repeated bottom row) and must be put together first.
bool pointAtRawRows(const FramePathJob &job, uint32_t first, uint32_t last,
                    bayer::ColourFrame &frame) {
    const uint32_t height = job.height;
    const ptrdiff_t width = ptrdiff_t(job.width);
    if (!job.flipVertical || height < 3) {
        frame.source = job.raw + size_t(first) * job.width;
        frame.sourceStride = width;
        return true;
    }
    if (last + 1 >= height) return false;
    frame.source = job.raw + size_t(flippedSourceRow(first, height, true, true)) * job.width;
    frame.sourceStride = -width;
    return true;
}

void colourStrips(const FramePathJob &job, uint32_t stripRows) {
    const uint32_t width = job.width, height = job.height;
    bayer::ColourFrame frame =
        bayer::colourFrame(job.raw, job.destination, job.bayerPattern, job.outputFormat,
                           job.destRowBytes, width, height);
    const auto rowBytes = int32_t(job.destRowBytes);
    const auto layout = int32_t(job.outputFormat);
    uint32_t mirrored = 0; // rows of the flipped frame mirrored so far
    for (uint32_t begin = 0; begin < height;) {
        uint32_t end = std::min(begin + stripRows, height);
        // The bottom row never forms a strip of its own: the block method copies the decoded
        // row above it, which must not have had the matrix yet.
        if (height - end == 1) end = height;
        // The rows the strip reads: one above it (row 1 above row 0) and one below.
        const uint32_t first = begin == 0 ? 0 : begin - 1;
        const uint32_t last = std::min(end, height - 1);
        if (job.flipHorizontal) {
            mirrorRawRows(job, std::max(first, mirrored), last);
            mirrored = last + 1;
        }
        if (!pointAtRawRows(job, first, last, frame)) {
            // Up to stripRows + 1 rows and the two around them.
            uint8_t *rows = stripSource(size_t(stripRows + 3) * width).data();
            for (uint32_t y = first; y <= last; ++y) {
                const uint32_t from = flippedSourceRow(y, height, job.flipVertical, true);
                std::memcpy(rows + size_t(y - first) * width, job.raw + size_t(from) * width,
                            width);
            }
            frame.source = rows;
            frame.sourceStride = ptrdiff_t(width);
        }
        frame.firstSourceRow = first;
        bayer::decodeRows(frame, job.decodeMethod, begin, end);
        auto *pixels = reinterpret_cast<uint32_t *>(job.destination + size_t(begin) * rowBytes);
        const auto count = int32_t(end - begin);
        if (job.colorMatrix)
            QORAApplyRGBMatrixToRGBImage(pixels, job.colorMatrix, layout, rowBytes, width, count);
        if (job.saturationMark) QORARedSaturateRGBImage(pixels, layout, rowBytes, width, count);
        begin = end;
    }
}

} // namespace

uint32_t stripRowsFor(uint32_t width) {
    const auto rows = uint32_t(kStripBytes / (size_t(std::max(width, 1u)) * 4));
    return std::max<uint32_t>(2, rows & ~1u);
}

bool runFramePath(const FramePathJob &job, uint32_t stripRows) {
    if (!job.raw || !job.destination || job.width == 0 || job.height == 0 || job.bayerPattern > 4)
        return false;
    if (job.rawOutput) {
        copyFlipped(job, job.width);
        return true;
    }
    if (job.bayerPattern == 0) {
        // 32-bit operations on a grey frame are left to the stages, which do what they did.
        if (job.colorMatrix || job.saturationMark) return false;
        copyFlipped(job, job.destRowBytes);
        return true;
    }
    if (job.destRowBytes < job.width * 4) return false;
    if (stripRows == 0) stripRows = stripRowsFor(job.width);
    colourStrips(job, std::max<uint32_t>(2, stripRows & ~1u));
    return true;
}

} // namespace qor::imaging
