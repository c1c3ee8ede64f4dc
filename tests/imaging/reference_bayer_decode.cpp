#include "imaging/reference_bayer_decode.h"

#include <cstddef>
#include <vector>

namespace qor::test {
namespace {

struct Offset {
    int dy, dx;
};

enum Colour { R = 0, G = 1, B = 2 };

const std::vector<Offset> kOwn = {{0, 0}};
const std::vector<Offset> kHorizontal = {{0, -1}, {0, 1}};
const std::vector<Offset> kVertical = {{-1, 0}, {1, 0}};
const std::vector<Offset> kCross = {{-1, 0}, {0, -1}, {0, 1}, {1, 0}};
const std::vector<Offset> kDiagonal = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};

struct Mosaic {
    const std::vector<uint8_t> &samples;
    uint32_t pattern;
    int width, height;

    // Colours of the top-left cell, row 0 then row 1, per pattern 1..4.
    Colour colourAt(int y, int x) const {
        static const Colour cells[5][4] = {
            {G, G, G, G}, {R, G, G, B}, {G, R, B, G}, {G, B, R, G}, {B, G, G, R}};
        return cells[pattern][(y % 2) * 2 + x % 2];
    }
    int at(int y, int x) const { return samples[std::size_t(y) * width + x]; }

    // Neighbours each colour of pixel (y, x) is the mean of.
    std::vector<Offset> neighbours(int y, int x, Colour channel) const {
        const Colour site = colourAt(y, x);
        if (site == channel) {
            const bool outerColumn = x == 0 || x == width - 1;
            if (site == G && (pattern == 1 || pattern == 3) && outerColumn) {
                const int inner = x == 0 ? 1 : -1;
                return {{0, 0}, {-1, inner}, {1, inner}};
            }
            return kOwn;
        }
        if (site != G) return channel == G ? kCross : kDiagonal;
        // A green site: the colour of its own row comes from W and E, the other from N and S.
        const bool rowHasChannel = colourAt(y, x + 1) == channel;
        return rowHasChannel ? kHorizontal : kVertical;
    }

    // Row 0's missing upper neighbour is row 1; any other neighbour off the frame is left out.
    // A colour with no neighbour at all takes the pixel's own sample.
    int interpolate(int y, int x, Colour channel) const {
        int sum = 0, count = 0;
        for (Offset o : neighbours(y, x, channel)) {
            int ny = y + o.dy;
            const int nx = x + o.dx;
            if (ny < 0) ny = 1;
            if (ny >= height || nx < 0 || nx >= width) continue;
            sum += at(ny, nx);
            ++count;
        }
        return count == 0 ? at(y, x) : sum / count;
    }

    // The 2 x 2 block of rows y, y + 1 and columns x - 1, x (0, 1 for x = 0).
    int block(int y, int x, Colour channel) const {
        const int left = x == 0 ? 0 : x - 1;
        int sum = 0, count = 0;
        for (int by = y; by <= y + 1; ++by) {
            for (int bx = left; bx <= left + 1; ++bx) {
                if (colourAt(by, bx) != channel) continue;
                sum += at(by, bx);
                ++count;
            }
        }
        return sum / count;
    }
};

} // namespace

std::vector<uint8_t> referenceBayerDecode(const std::vector<uint8_t> &source, uint32_t bayerPattern,
                                          uint32_t decodeMethod, uint32_t outputFormat,
                                          uint32_t width, uint32_t height) {
    const Mosaic mosaic{source, bayerPattern, int(width), int(height)};
    std::vector<uint8_t> out(std::size_t(width) * height * 4);
    const bool block = decodeMethod != 1 && width >= 2 && height >= 2;
    for (int y = 0; y < int(height); ++y) {
        // The block method's last row repeats the row above it.
        const int from = block && y == int(height) - 1 ? y - 1 : y;
        for (int x = 0; x < int(width); ++x) {
            int rgb[3];
            for (Colour c : {R, G, B}) {
                rgb[c] = block ? mosaic.block(from, x, c) : mosaic.interpolate(y, x, c);
            }
            uint8_t *p = &out[(std::size_t(y) * width + x) * 4];
            const uint8_t argb[4] = {0xFF, uint8_t(rgb[R]), uint8_t(rgb[G]), uint8_t(rgb[B])};
            const uint8_t bgra[4] = {uint8_t(rgb[B]), uint8_t(rgb[G]), uint8_t(rgb[R]), 0xFF};
            for (int i = 0; i < 4; ++i) p[i] = outputFormat == 1 ? argb[i] : bgra[i];
        }
    }
    return out;
}

} // namespace qor::test
