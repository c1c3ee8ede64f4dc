// One TIFF per frame, uncompressed: 8-bit grey (monochrome, and raw mosaic with its phase in
// the description), or 8-bit RGB. DateTime holds the capture time (UTC; TIFF's field has no
// zone), ImageDescription the exact time and the settings as "key=value" lines.
#include "capture/writers_internal.h"

#include <tiffio.h>

#include <cerrno>
#include <cstdarg>
#include <ctime>
#include <mutex>

namespace qor::capture::detail {

namespace {

// libtiff reports through one process-wide handler; the message is kept per thread, where the
// failing call ran.
thread_local std::string tiffMessage;

void onTiffError(const char *, const char *format, va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    if (tiffMessage.empty()) tiffMessage = text;
}

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(onTiffError);
        TIFFSetWarningHandler(nullptr);
    });
}

std::string tiffDateTime(std::chrono::system_clock::time_point time) {
    const time_t seconds = std::chrono::system_clock::to_time_t(time);
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char text[24];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &parts);
    return text;
}

} // namespace

std::string writeTiff(const Frame &frame, const CaptureDescription &capture,
                      const std::string &path) {
    installHandlers();
    tiffMessage.clear();
    errno = 0;
    TIFF *tiff = TIFFOpen(path.c_str(), "w");
    if (!tiff) return errno ? systemReason(errno) : tiffMessage;
    const FrameGeometry &g = frame.info.geometry;
    const bool colour = isDecodedColour(frame.info.layout);
    std::string description;
    for (const auto &[key, value] : describeFrame(frame, capture))
        description += key + "=" + value + "\n";
    const std::string dateTime = tiffDateTime(frame.info.utc);
    const std::string software = softwareName();
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, g.width) &&
              TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, g.height) &&
              TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8) &&
              TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, colour ? 3 : 1) &&
              TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                           colour ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) &&
              TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
              TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0)) &&
              TIFFSetField(tiff, TIFFTAG_DATETIME, dateTime.c_str()) &&
              TIFFSetField(tiff, TIFFTAG_SOFTWARE, software.c_str()) &&
              TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    if (ok && !capture.cameraName.empty())
        ok = TIFFSetField(tiff, TIFFTAG_MODEL, capture.cameraName.c_str());
    std::vector<uint8_t> row(size_t(g.width) * 3);
    for (uint32_t y = 0; ok && y < g.height; ++y) {
        copyRow(frame, y, row.data());
        ok = TIFFWriteScanline(tiff, row.data(), y, 0) == 1;
    }
    const int writeErrno = errno;
    ok = TIFFWriteDirectory(tiff) && ok;
    const int directoryErrno = errno;
    TIFFClose(tiff);
    if (ok) return {};
    if (writeErrno) return systemReason(writeErrno);
    if (directoryErrno) return systemReason(directoryErrno);
    return tiffMessage.empty() ? std::string("cannot encode TIFF") : tiffMessage;
}

} // namespace qor::capture::detail
