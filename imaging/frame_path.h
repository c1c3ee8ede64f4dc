// Everything the stream does to the pixels of one frame (flips, demosaic, colour matrix,
// saturation mark), done a strip of rows at a time: each strip is finished while it is still
// in the cache, so the decoded frame goes to memory once instead of once per stage. The result
// is byte for byte that of the exported operations run one after the other over the frame.
#pragma once

#include <cstdint>

namespace qor::imaging {

struct FramePathJob {
    uint8_t *raw = nullptr; // width x height samples; the horizontal flip mirrors them in place
    uint32_t width = 0, height = 0;
    uint8_t *destination = nullptr;
    uint32_t destRowBytes = 0;
    uint32_t bayerPattern = 0; // 0 grey, 1..4 RGGB, GRBG, GBRG, BGGR
    uint32_t decodeMethod = 1; // 1 interpolating, otherwise block
    uint32_t outputFormat = 1; // 1 A,R,G,B, otherwise B,G,R,A
    bool flipHorizontal = false, flipVertical = false;
    const float *colorMatrix = nullptr; // applied to colour frames when set
    bool saturationMark = false;        // on colour frames
    // The flipped raw samples, width bytes a row, instead of decoded pixels.
    bool rawOutput = false;
};

// Rows per strip for frames of this width: an even count whose decoded pixels stay well
// inside a core's L2 cache.
uint32_t stripRowsFor(uint32_t width);

// Runs the job. stripRows 0 takes stripRowsFor(width); tests pass small counts to put strip
// boundaries everywhere. Returns false, having written nothing, for a job the strips do not
// take (a grey frame with colour processing asked for, or bad sizes); the caller then runs the
// stages one after the other.
bool runFramePath(const FramePathJob &job, uint32_t stripRows = 0);

} // namespace qor::imaging
