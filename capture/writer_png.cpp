// One PNG per frame: 8-bit grey (monochrome and raw mosaic) or 8-bit RGB, the capture time in
// the tIME chunk and, with the settings, in text chunks. zlib runs at the level asked for (fast
// by default) with the "up" filter, and at the fast levels (1, 2) looks for runs only: on camera
// pictures (noise over smooth light) that encodes in about two thirds of the time of zlib's
// usual search, and into a smaller file; the "up" filter alone is faster and smaller than no
// filter or adaptive filtering.
#include "capture/writers_internal.h"

#include <png.h>
#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <ctime>
#include <memory>

namespace qor::capture::detail {

namespace {

struct PngOutput {
    FILE *file = nullptr;
    int writeErrno = 0;  // the errno of a failed write
    std::string message; // libpng's own complaint
};

void onWrite(png_structp png, png_bytep data, size_t length) {
    auto *out = static_cast<PngOutput *>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, length, out->file) != length) {
        out->writeErrno = errno ? errno : EIO;
        png_error(png, "write failed");
    }
}

void onFlush(png_structp png) {
    auto *out = static_cast<PngOutput *>(png_get_io_ptr(png));
    if (std::fflush(out->file) != 0) {
        out->writeErrno = errno ? errno : EIO;
        png_error(png, "write failed");
    }
}

void onError(png_structp png, png_const_charp message) {
    auto *out = static_cast<PngOutput *>(png_get_error_ptr(png));
    if (out->message.empty()) out->message = message;
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

// Writes the image; false when libpng or the file failed (the reason is in `out`). Everything
// with a destructor lives in the caller, out of the longjmp's way.
bool encode(png_structp png, png_infop info, const Frame &frame, int level,
            std::vector<png_text> &chunks, png_bytep row, PngOutput *out) {
    if (setjmp(png_jmpbuf(png))) return false;
    const FrameGeometry &g = frame.info.geometry;
    const bool colour = isDecodedColour(frame.info.layout);
    png_set_write_fn(png, out, onWrite, onFlush);
    png_set_compression_level(png, level);
    if (level >= 1 && level <= 2) png_set_compression_strategy(png, Z_RLE);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, level == 0 ? PNG_FILTER_NONE : PNG_FILTER_UP);
    png_set_IHDR(png, info, g.width, g.height, 8, colour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // libpng's png_convert_from_time_t calls gmtime, which encoder threads must not share.
    const time_t seconds = std::chrono::system_clock::to_time_t(frame.info.utc);
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    png_time stamp;
    png_convert_from_struct_tm(&stamp, &parts);
    png_set_tIME(png, info, &stamp);
    png_set_text(png, info, chunks.data(), int(chunks.size()));
    png_write_info(png, info);
    for (uint32_t y = 0; y < g.height; ++y) {
        copyRow(frame, y, row);
        png_write_row(png, row);
    }
    png_write_end(png, info);
    return true;
}

} // namespace

std::string writePng(const Frame &frame, const CaptureDescription &capture, int level,
                     const std::string &path) {
    PngOutput out;
    out.file = std::fopen(path.c_str(), "wb");
    if (!out.file) return systemReason(errno);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &out, onError, onWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    // PNG's keywords for the time and the program, then ours.
    std::vector<std::pair<std::string, std::string>> text;
    text.emplace_back("Creation Time", isoUtc(frame.info.utc));
    text.emplace_back("Software", softwareName());
    for (auto &pair : describeFrame(frame, capture))
        if (pair.first != "software") text.push_back(std::move(pair));
    std::vector<png_text> chunks(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
        chunks[i].key = const_cast<png_charp>(text[i].first.c_str());
        chunks[i].text = const_cast<png_charp>(text[i].second.c_str());
    }
    std::vector<uint8_t> row(size_t(frame.info.geometry.width) * 3);
    bool ok = png && info && encode(png, info, frame, level, chunks, row.data(), &out);
    if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
    errno = 0;
    if (std::fclose(out.file) != 0 && ok) {
        ok = false;
        out.writeErrno = errno ? errno : EIO;
    }
    out.file = nullptr;
    if (ok) return {};
    if (out.writeErrno) return systemReason(out.writeErrno);
    return out.message.empty() ? std::string("cannot encode PNG") : out.message;
}

} // namespace qor::capture::detail
