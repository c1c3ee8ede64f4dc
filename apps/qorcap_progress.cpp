// The line is drawn by the capture loop's thread; the log sink runs on whichever thread logs.
// Both write under gTerminalLock, which also guards gLineShown.

#include "qorcap_progress.h"

#include "qorcap_text.h"

#include "platform/log.h"

#include <chrono>
#include <cmath>
#include <mutex>
#include <unistd.h>

namespace qor::apps {

namespace {

constexpr double kInPlaceInterval = 0.25; // seconds between redraws on a terminal
constexpr double kLinesInterval = 1.0;    // seconds between plain lines

std::mutex gTerminalLock;
bool gLineShown = false;      // an in-place line is on the terminal, not ended
std::FILE *gLineTo = nullptr; // where it is

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// "12.3 s" below a minute, else "0:01:05".
std::string duration(double seconds) {
    if (seconds < 60) return fixed(seconds, 1) + " s";
    const auto whole = static_cast<long long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
    return text;
}

std::string megabytes(size_t bytes) {
    return fixed(double(bytes) / 1048576.0, 1) + " MB";
}

void routedLog(platform::LogLevel, const std::string &line) {
    std::lock_guard<std::mutex> hold(gTerminalLock);
    if (gLineShown && gLineTo) {
        std::fputs("\r\033[K", gLineTo);
        std::fflush(gLineTo);
        gLineShown = false;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

} // namespace

Progress::Style Progress::styleFor(std::FILE *stream) {
    return isatty(fileno(stream)) ? Style::InPlace : Style::Lines;
}

// The first line after one interval: a rate over the first frame alone says little.
Progress::Progress(Style style, std::FILE *to) : style_(style), to_(to), lastShown_(now()) {
    if (style_ == Style::InPlace) {
        {
            std::lock_guard<std::mutex> hold(gTerminalLock);
            gLineTo = to_;
        }
        previousSink_ = platform::setLogSink(routedLog);
    }
}

Progress::~Progress() {
    end();
    if (style_ == Style::InPlace) platform::setLogSink(std::move(previousSink_));
}

std::string progressText(const ProgressSnapshot &s) {
    std::string line;
    if (!s.draining) {
        line = "captured " + std::to_string(s.captured);
        if (s.wantedFrames) line += "/" + std::to_string(s.wantedFrames);
        line += "  written " + std::to_string(s.written) + "  " + duration(s.elapsed);
        double left = NAN;
        if (s.wantedSeconds > 0)
            left = std::max(0.0, s.wantedSeconds - s.elapsed);
        else if (s.wantedFrames && s.fps > 0)
            left = double(s.wantedFrames - std::min(s.captured, s.wantedFrames)) / s.fps;
        line += std::isfinite(left) ? ", " + duration(left) + " left" : ", ? left";
        line += "  " + significant(s.fps) + " fps";
    } else {
        line = "writing: " + std::to_string(s.written) + " of " + std::to_string(s.captured) +
               " written, " + megabytes(s.queuedBytes) + " queued  " + duration(s.elapsed);
    }
    line += "  dropped " + std::to_string(s.dropped) + "  skipped " + std::to_string(s.skipped);
    if (s.hasTemperature) line += "  sensor " + fixed(s.temperatureC, 1) + " C";
    return line;
}

void Progress::update(const ProgressSnapshot &snapshot, bool force) {
    if (style_ == Style::None) return;
    const double t = now();
    const double interval = style_ == Style::InPlace ? kInPlaceInterval : kLinesInterval;
    if (!force && t - lastShown_ < interval) return;
    lastShown_ = t;
    draw(progressText(snapshot));
}

void Progress::draw(const std::string &line) {
    std::lock_guard<std::mutex> hold(gTerminalLock);
    if (style_ == Style::InPlace) {
        std::fprintf(to_, "\r\033[K%s", line.c_str());
        gLineShown = true;
    } else {
        std::fprintf(to_, "%s\n", line.c_str());
    }
    std::fflush(to_);
}

void Progress::end() {
    std::lock_guard<std::mutex> hold(gTerminalLock);
    if (style_ == Style::InPlace && gLineShown) {
        std::fputs("\n", to_);
        std::fflush(to_);
        gLineShown = false;
    }
}

} // namespace qor::apps
