// qordemo: shows the camera library's pixel path without a camera. It synthesises a raw mosaic
// frame of a colour chart, decodes it with both demosaic methods, applies a model's colour
// matrix with the hue and saturation adjustment, and writes each result as a PNG.

#include "png_writer.h"

#include <qorvanta/qorvanta.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string outDir = "out";
    uint32_t width = 1280;
    uint32_t height = 1024;
    uint32_t pattern = 1;
};

void usage(std::FILE *to) {
    std::fprintf(to,
                 "usage: qordemo [--out DIR] [--size WIDTHxHEIGHT] [--pattern 0-4]\n"
                 "  Writes demosaiced PNGs of a synthetic colour chart into DIR (default out).\n"
                 "  Patterns: 0 monochrome, 1 RGGB, 2 GRBG, 3 GBRG, 4 BGGR (default 1).\n");
}

bool parse(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (arg == "--out" && value) {
            options.outDir = value;
            ++i;
        } else if (arg == "--size" && value) {
            unsigned w = 0, h = 0;
            if (std::sscanf(value, "%ux%u", &w, &h) != 2 || w < 2 || h < 2 || w > 8192 ||
                h > 8192) {
                std::fprintf(stderr, "qordemo: size must be WIDTHxHEIGHT, 2 to 8192 each: %s\n",
                             value);
                return false;
            }
            options.width = w;
            options.height = h;
            ++i;
        } else if (arg == "--pattern" && value) {
            char *end = nullptr;
            unsigned long p = std::strtoul(value, &end, 10);
            if (*end || p > 4) {
                std::fprintf(stderr, "qordemo: pattern must be 0 to 4: %s\n", value);
                return false;
            }
            options.pattern = uint32_t(p);
            ++i;
        } else {
            std::fprintf(stderr, "qordemo: unknown or incomplete option %s\n", arg.c_str());
            usage(stderr);
            return false;
        }
    }
    return true;
}

// A 6 x 4 chart of colour patches over a left-to-right grey ramp, as the sensor would see it
// through its colour filter mosaic (format class as for the decoder).
std::vector<uint8_t> synthesiseRawFrame(const Options &o) {
    static const uint8_t kPatches[24][3] = {
        {115, 82, 68},   {194, 150, 130}, {98, 122, 157}, {87, 108, 67},   {133, 128, 177},
        {103, 189, 170}, {214, 126, 44},  {80, 91, 166},  {193, 90, 99},   {94, 60, 108},
        {157, 188, 64},  {224, 163, 46},  {56, 61, 150},  {70, 148, 73},   {175, 54, 60},
        {231, 199, 31},  {187, 86, 149},  {8, 133, 161},  {243, 243, 242}, {200, 200, 200},
        {160, 160, 160}, {122, 122, 121}, {85, 85, 85},   {52, 52, 52}};
    // Channel of each position in the top-left 2x2 cell, per format class: 0 R, 1 G, 2 B.
    static const int kCell[5][4] = {
        {1, 1, 1, 1}, {0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    std::vector<uint8_t> raw(size_t(o.width) * o.height);
    uint32_t chartHeight = o.height * 3 / 4;
    for (uint32_t y = 0; y < o.height; ++y) {
        for (uint32_t x = 0; x < o.width; ++x) {
            int channel = kCell[o.pattern][(y & 1) * 2 + (x & 1)];
            uint8_t level;
            if (y < chartHeight) {
                uint32_t px = x * 6 / o.width, py = y * 4 / chartHeight;
                const uint8_t *rgb = kPatches[py * 6 + px];
                level = o.pattern == 0 ? uint8_t((rgb[0] * 77 + rgb[1] * 150 + rgb[2] * 29) >> 8)
                                       : rgb[channel];
            } else {
                level = uint8_t(x * 255 / (o.width - 1));
            }
            raw[size_t(y) * o.width + x] = level;
        }
    }
    return raw;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse(argc, argv, options)) return 2;

    std::error_code ec;
    std::filesystem::create_directories(options.outDir, ec);
    if (ec) {
        std::fprintf(stderr, "qordemo: cannot create %s: %s\n", options.outDir.c_str(),
                     ec.message().c_str());
        return 1;
    }

    const uint32_t w = options.width, h = options.height;
    const bool colour = options.pattern != 0;
    std::vector<uint8_t> raw = synthesiseRawFrame(options);
    std::printf("Synthesised a %ux%u raw frame, format class %u\n", w, h, options.pattern);

    auto save = [&](const char *name, const std::vector<uint8_t> &pixels, uint32_t rowBytes,
                    bool isColour) {
        std::string path = options.outDir + "/" + name;
        std::string err = qor::apps::writePng(path, pixels.data(), w, h, rowBytes,
                                              isColour ? qor::apps::PixelLayout::BGRA
                                                       : qor::apps::PixelLayout::Grey);
        if (!err.empty()) {
            std::fprintf(stderr, "qordemo: %s\n", err.c_str());
            return false;
        }
        std::printf("Wrote %s\n", path.c_str());
        return true;
    };

    if (!save("raw.png", raw, w, false)) return 1;

    const uint32_t rowBytes = colour ? w * 4 : w;
    const int32_t kLayoutBGRA = 0;
    std::vector<uint8_t> decoded(size_t(rowBytes) * h);
    struct Method {
        uint32_t id;
        const char *file;
    };
    for (Method m : {Method{1, "interpolated.png"}, Method{2, "block.png"}}) {
        QORRAWImageDecodeToImageBuffer(raw.data(), decoded.data(), options.pattern, m.id,
                                       kLayoutBGRA, rowBytes, w, h);
        if (!save(m.file, decoded, rowBytes, colour)) return 1;
    }
    if (!colour) return 0;

    // The interpolated frame again, corrected by a model's matrix with a little more colour,
    // and with the saturated pixels marked.
    QORRAWImageDecodeToImageBuffer(raw.data(), decoded.data(), options.pattern, 1, kLayoutBGRA,
                                   rowBytes, w, h);
    float matrix[9];
    QORAGetBaseRGBCorrectionMatrix(matrix, 161, 1);
    QORAApplyHueSatCorrectionToMatrix(matrix, 0.0f, 1.3f);
    auto *pixels = reinterpret_cast<uint32_t *>(decoded.data());
    QORAApplyRGBMatrixToRGBImage(pixels, matrix, kLayoutBGRA, int32_t(rowBytes), w, int32_t(h));
    QORARedSaturateRGBImage(pixels, kLayoutBGRA, int32_t(rowBytes), w, int32_t(h));
    if (!save("corrected.png", decoded, rowBytes, true)) return 1;

    uint8_t r = 0, g = 0, b = 0;
    QORAGetBayerFrameAverageRGBValues(raw.data(), options.pattern, w, w, h, &r, &g, &b);
    std::printf("Raw frame averages: R %u, G %u, B %u\n", r, g, b);
    return 0;
}
