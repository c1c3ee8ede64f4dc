// One FITS file per frame through cfitsio: an 8-bit primary image (BITPIX 8), two axes for grey
// and raw mosaic frames, three for decoded colour (planes R, G, B). Rows are stored top first,
// as the camera reads them out, and ROWORDER says so. The header carries what stacking and
// photometry programs look for: exposure, gain, cooler temperatures, the UTC start time with
// milliseconds, the camera, binning and window origin, and the mosaic's pattern.
#include "capture/writers_internal.h"

#include <fitsio.h>

#include <cmath>
#include <cstring>
#include <mutex>

namespace qor::capture::detail {

namespace {

std::string fitsReason(int status) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    // cfitsio's own stack names the system's reason when a write failed.
    char message[FLEN_ERRMSG] = {};
    std::string detail;
    while (fits_read_errmsg(message)) {
        if (!detail.empty()) detail += "; ";
        detail += message;
    }
    return detail.empty() ? std::string(text) : std::string(text) + " (" + detail + ")";
}

// The keywords, written in order; a step that fails leaves `status` set and the rest undone.
void writeKeywords(fitsfile *file, const Frame &frame, const CaptureDescription &capture,
                   int *status) {
    const FrameInfo &info = frame.info;
    const FrameSettings &s = info.settings;
    auto text = [&](const char *key, const std::string &value, const char *comment) {
        fits_update_key_str(file, key, value.c_str(), comment, status);
    };
    auto real = [&](const char *key, double value, const char *comment) {
        if (!std::isnan(value)) fits_update_key_dbl(file, key, value, -8, comment, status);
    };
    auto integer = [&](const char *key, long value, const char *comment) {
        fits_update_key_lng(file, key, value, comment, status);
    };
    text("DATE-OBS", fitsDate(info.utc), "UTC time the frame was received");
    text("TIMESYS", "UTC", "time scale of DATE-OBS");
    real("EXPTIME", s.exposureMs / 1000.0, "[s] exposure time");
    real("GAIN", s.gain, "gain as the camera's settings page shows it");
    if (s.hasCooler) {
        real("CCD-TEMP", s.temperatureC, "[C] sensor temperature");
        real("SET-TEMP", s.setPointC, "[C] cooler set-point");
        fits_update_key_log(file, "COOLING", s.coolingOn ? 1 : 0, "cooler switched on", status);
    }
    if (!capture.cameraName.empty()) text("INSTRUME", capture.cameraName, "camera");
    if (!capture.observer.empty()) text("OBSERVER", capture.observer, nullptr);
    if (!capture.telescope.empty()) text("TELESCOP", capture.telescope, nullptr);
    integer("XBINNING", long(info.geometry.binX), "binning (subsampling) factor in x");
    integer("YBINNING", long(info.geometry.binY), "binning (subsampling) factor in y");
    integer("XORGSUBF", long(info.geometry.originX), "window origin on the sensor, x");
    integer("YORGSUBF", long(info.geometry.originY), "window origin on the sensor, y");
    if (info.layout == PixelLayout::Mosaic && info.mosaic != MosaicPhase::None) {
        text("BAYERPAT", mosaicName(info.mosaic), "colour of the top-left 2x2 pixels");
        integer("XBAYROFF", 0, "x offset of the Bayer pattern");
        integer("YBAYROFF", 0, "y offset of the Bayer pattern");
    }
    text("ROWORDER", "TOP-DOWN", "first row stored is the top of the picture");
    integer("FRAMENO", long(info.sequence), "frame's sequence number in the capture");
    text("SWCREATE", softwareName(), "driver that wrote this file");
    if (s.flipHorizontal || s.flipVertical)
        text("FLIPPED",
             s.flipHorizontal && s.flipVertical ? "XY"
             : s.flipHorizontal                 ? "X"
                                                : "Y",
             "the camera flipped the picture");
}

} // namespace

void prepareFitsLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { fits_init_cfitsio(); });
}

std::string writeFits(const Frame &frame, const CaptureDescription &capture,
                      const std::string &path) {
    int status = 0;
    fitsfile *file = nullptr;
    // A leading "!" lets cfitsio replace a file of that name (a temporary one left earlier).
    const std::string name = "!" + path;
    errno = 0;
    if (fits_create_file(&file, name.c_str(), &status)) {
        fits_clear_errmsg();
        return errno ? systemReason(errno) : fitsReason(status);
    }
    const FrameGeometry &g = frame.info.geometry;
    const bool colour = isDecodedColour(frame.info.layout);
    long axes[3] = {long(g.width), long(g.height), 3};
    fits_create_img(file, BYTE_IMG, colour ? 3 : 2, axes, &status);
    writeKeywords(file, frame, capture, &status);
    // Plane by plane (one plane for grey), row by row.
    std::vector<uint8_t> row(size_t(g.width) * 3), plane(g.width);
    const int planes = colour ? 3 : 1;
    for (int p = 0; p < planes && !status; ++p) {
        for (uint32_t y = 0; y < g.height && !status; ++y) {
            const uint8_t *pixels = frame.pixels.data() + size_t(y) * g.rowBytes;
            if (colour) {
                copyRow(frame, y, row.data());
                for (uint32_t x = 0; x < g.width; ++x) plane[x] = row[size_t(x) * 3 + p];
                pixels = plane.data();
            }
            const LONGLONG first = LONGLONG(p) * g.width * g.height + LONGLONG(y) * g.width + 1;
            fits_write_img(file, TBYTE, first, g.width, const_cast<uint8_t *>(pixels), &status);
        }
    }
    // cfitsio buffers: a full disk may show only when the file is closed. The system's reason
    // says more than cfitsio's code, so it is kept from the first failure on.
    int writeErrno = status ? errno : 0;
    const int writeStatus = status;
    int closeStatus = 0;
    fits_close_file(file, &closeStatus);
    if (!writeErrno && closeStatus) writeErrno = errno;
    if (!writeStatus && !closeStatus) {
        fits_clear_errmsg();
        return {};
    }
    const int failed = writeStatus ? writeStatus : closeStatus;
    if (writeErrno && (failed == WRITE_ERROR || failed == FILE_NOT_CLOSED)) {
        fits_clear_errmsg();
        return systemReason(writeErrno);
    }
    return fitsReason(failed);
}

} // namespace qor::capture::detail
