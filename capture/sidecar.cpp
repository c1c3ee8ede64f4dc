// The sidecar of a per-file capture: one line per written frame with everything known about it,
// as CSV (a header line, then the rows; unknown values empty) or JSON lines (unknown values
// null). Each line is flushed as it is written, so the sidecar never names a frame that is not
// on disk, and lists every one that is.
#include "capture/writers_internal.h"

#include <cerrno>
#include <cmath>

namespace qor::capture::detail {

namespace {

// The columns, in order; each frame gives a value for every one.
constexpr const char *kColumns[] = {
    "file",        "sequence", "utc",      "digitizer_s",   "width",       "height",
    "origin_x",    "origin_y", "bin_x",    "bin_y",         "layout",      "mosaic",
    "exposure_ms", "gain",     "red_gain", "green_gain",    "blue_gain",   "flip_h",
    "flip_v",      "cooler",   "cooling",  "temperature_c", "set_point_c",
};

// A value, and whether it is text (quoted in JSON) or a number / boolean.
struct Value {
    std::string text;
    bool quoted = false;
    bool missing = false;
};

Value text(std::string s) {
    return Value{std::move(s), true, false};
}
Value integer(uint64_t n) {
    return Value{std::to_string(n), false, false};
}
Value real(double v) {
    if (std::isnan(v)) return Value{"", false, true};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6g", v);
    return Value{buffer, false, false};
}
// Seconds on the digitizer's clock, to the microsecond however long the capture.
Value seconds(double v) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.6f", v);
    return Value{buffer, false, false};
}
Value boolean(bool b) {
    return Value{b ? "true" : "false", false, false};
}

std::vector<Value> valuesOf(const std::string &fileName, const Frame &frame) {
    const FrameInfo &info = frame.info;
    const FrameGeometry &g = info.geometry;
    const FrameSettings &s = info.settings;
    return {text(fileName),
            integer(info.sequence),
            text(isoUtc(info.utc)),
            seconds(info.digitizerSeconds),
            integer(g.width),
            integer(g.height),
            integer(g.originX),
            integer(g.originY),
            integer(g.binX),
            integer(g.binY),
            text(layoutName(info.layout)),
            text(mosaicName(info.mosaic)),
            real(s.exposureMs),
            real(s.gain),
            real(s.redGain),
            real(s.greenGain),
            real(s.blueGain),
            boolean(s.flipHorizontal),
            boolean(s.flipVertical),
            boolean(s.hasCooler),
            boolean(s.coolingOn),
            real(s.temperatureC),
            real(s.setPointC)};
}

// Our values hold no quotes, commas or control characters but in the file name and camera
// name; escape what CSV and JSON need anyway.
std::string csvField(const Value &v) {
    if (v.text.find_first_of(",\"\n") == std::string::npos) return v.text;
    std::string out = "\"";
    for (char c : v.text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string jsonField(const Value &v) {
    if (v.missing) return "null";
    if (!v.quoted) return v.text;
    std::string out = "\"";
    for (char c : v.text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (uint8_t(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(uint8_t(c)));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace

Sidecar::~Sidecar() {
    close();
}

const char *Sidecar::fileName(SidecarFormat format) {
    return format == SidecarFormat::JsonLines ? "frames.jsonl" : "frames.csv";
}

std::string Sidecar::open(const std::string &path, SidecarFormat format) {
    format_ = format;
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) return systemReason(errno);
    if (format_ == SidecarFormat::Csv) {
        std::string header;
        for (const char *column : kColumns) {
            if (!header.empty()) header += ',';
            header += column;
        }
        header += '\n';
        if (std::fputs(header.c_str(), file_) < 0 || std::fflush(file_) != 0)
            return systemReason(errno);
    }
    return {};
}

std::string Sidecar::append(const std::string &fileName, const Frame &frame) {
    if (!file_) return "not open";
    const std::vector<Value> values = valuesOf(fileName, frame);
    std::string line;
    if (format_ == SidecarFormat::Csv) {
        for (size_t i = 0; i < values.size(); ++i) {
            if (i) line += ',';
            line += csvField(values[i]);
        }
    } else {
        line += '{';
        for (size_t i = 0; i < values.size(); ++i) {
            if (i) line += ", ";
            line += '"';
            line += kColumns[i];
            line += "\": ";
            line += jsonField(values[i]);
        }
        line += '}';
    }
    line += '\n';
    errno = 0;
    if (std::fputs(line.c_str(), file_) < 0 || std::fflush(file_) != 0)
        return systemReason(errno ? errno : EIO);
    return {};
}

std::string Sidecar::close() {
    if (!file_) return {};
    FILE *file = file_;
    file_ = nullptr;
    return std::fclose(file) == 0 ? std::string() : systemReason(errno);
}

} // namespace qor::capture::detail
