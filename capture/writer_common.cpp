// Helpers every writer shares: time formats, the frame's rows as the files store them, and the
// frame's settings as text.
#include "capture/writers_internal.h"

#include <cmath>
#include <cstring>
#include <ctime>

namespace qor::capture::detail {

std::string softwareName() {
    return std::string("qorvanta ") + QORVANTA_VERSION;
}

namespace {

std::string utcText(std::chrono::system_clock::time_point time, const char *zone) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const time_t seconds = time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    const int millis = int(ms - int64_t(seconds) * 1000);
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%s", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  millis, zone);
    return text;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

} // namespace

std::string isoUtc(std::chrono::system_clock::time_point time) {
    return utcText(time, "Z");
}

std::string fitsDate(std::chrono::system_clock::time_point time) {
    return utcText(time, "");
}

bool isDecodedColour(PixelLayout layout) {
    return layout == PixelLayout::ARGB || layout == PixelLayout::BGRA;
}

uint32_t filePixelBytes(PixelLayout layout) {
    return isDecodedColour(layout) ? 3 : 1;
}

bool frameIsWhole(const Frame &frame) {
    const FrameGeometry &g = frame.info.geometry;
    if (g.width == 0 || g.height == 0) return false;
    if (uint64_t(g.rowBytes) < uint64_t(g.width) * bytesPerPixel(frame.info.layout)) return false;
    return frame.pixels.size() >= uint64_t(g.rowBytes) * g.height;
}

void copyRow(const Frame &frame, uint32_t y, uint8_t *out) {
    const FrameGeometry &g = frame.info.geometry;
    const uint8_t *row = frame.pixels.data() + size_t(y) * g.rowBytes;
    // Offsets of R, G and B within a four-byte pixel.
    int r = 1, gr = 2, b = 3;
    switch (frame.info.layout) {
    case PixelLayout::ARGB:
        break;
    case PixelLayout::BGRA:
        r = 2, gr = 1, b = 0;
        break;
    case PixelLayout::Grey:
    case PixelLayout::Mosaic:
        std::memcpy(out, row, g.width);
        return;
    }
    for (uint32_t x = 0; x < g.width; ++x, row += 4, out += 3) {
        out[0] = row[r];
        out[1] = row[gr];
        out[2] = row[b];
    }
}

std::vector<std::pair<std::string, std::string>> describeFrame(const Frame &frame,
                                                               const CaptureDescription &capture) {
    const FrameInfo &info = frame.info;
    const FrameSettings &s = info.settings;
    std::vector<std::pair<std::string, std::string>> pairs;
    auto add = [&](const char *key, std::string value) { pairs.emplace_back(key, value); };
    auto addNumber = [&](const char *key, double value) {
        if (!std::isnan(value)) add(key, number(value));
    };
    add("time", isoUtc(info.utc));
    add("sequence", std::to_string(info.sequence));
    char seconds[40];
    std::snprintf(seconds, sizeof seconds, "%.6f", info.digitizerSeconds);
    add("digitizer_s", seconds);
    if (!capture.cameraName.empty()) add("camera", capture.cameraName);
    add("layout", layoutName(info.layout));
    if (info.mosaic != MosaicPhase::None) add("mosaic", mosaicName(info.mosaic));
    addNumber("exposure_ms", s.exposureMs);
    addNumber("gain", s.gain);
    addNumber("red_gain", s.redGain);
    addNumber("green_gain", s.greenGain);
    addNumber("blue_gain", s.blueGain);
    add("flip_h", s.flipHorizontal ? "1" : "0");
    add("flip_v", s.flipVertical ? "1" : "0");
    if (s.hasCooler) {
        add("cooling", s.coolingOn ? "on" : "off");
        addNumber("temperature_c", s.temperatureC);
        addNumber("set_point_c", s.setPointC);
    }
    add("software", softwareName());
    return pairs;
}

std::string systemReason(int errnum) {
    char buffer[128];
    // The GNU strerror_r returns the text, which may not be in the buffer.
    return strerror_r(errnum, buffer, sizeof buffer);
}

} // namespace qor::capture::detail
