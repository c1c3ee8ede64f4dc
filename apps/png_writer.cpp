#include "png_writer.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qor::apps {

namespace {

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

} // namespace

std::string writePng(const std::string &path, const uint8_t *pixels, uint32_t width,
                     uint32_t height, uint32_t rowBytes, PixelLayout layout, bool fast) {
    const bool colour = layout != PixelLayout::Grey;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) return "cannot create " + path + ": " + std::strerror(errno);

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return "out of memory writing " + path;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "cannot write " + path;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, width, height, 8, colour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (fast) {
        png_set_compression_level(png, 1);
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    }
    png_write_info(png, info);
    // The fourth byte of each pixel is the alpha, before the colour in ARGB, after it in BGRA.
    if (layout == PixelLayout::ARGB) png_set_filler(png, 0, PNG_FILLER_BEFORE);
    if (layout == PixelLayout::BGRA) {
        png_set_bgr(png);
        png_set_filler(png, 0, PNG_FILLER_AFTER);
    }
    for (uint32_t y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(pixels + size_t(y) * rowBytes));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.get()) != 0) return "cannot write " + path + ": " + std::strerror(errno);
    return {};
}

} // namespace qor::apps
