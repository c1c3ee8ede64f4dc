// Progress of a capture as it runs and while the writer drains: one line redrawn in place about
// four times a second on a terminal, a plain line a second otherwise, nothing when quiet. Log
// lines from the driver (any thread) clear the line first, so the two never run into each other.
#pragma once

#include "platform/log.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace qor::apps {

struct ProgressSnapshot {
    bool draining = false; // the capture has ended; the writer is finishing the queue
    uint64_t captured = 0;
    uint64_t wantedFrames = 0; // 0: a capture by time
    double wantedSeconds = 0;
    uint64_t written = 0;
    uint64_t skipped = 0;
    size_t queuedBytes = 0;
    uint64_t dropped = 0;
    double elapsed = 0; // since the capture (or the drain) started
    double fps = 0;     // frames captured a second so far
    double temperatureC = 0;
    bool hasTemperature = false;
};

class Progress {
public:
    enum class Style { None, InPlace, Lines };
    // The style for a stream: InPlace on a terminal, Lines otherwise.
    static Style styleFor(std::FILE *stream);

    Progress(Style style, std::FILE *to);
    ~Progress(); // ends the line and stops routing the log
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // Shows the snapshot when the last one is old enough (always, with `now`).
    void update(const ProgressSnapshot &snapshot, bool now = false);
    // Ends the in-place line, so that what follows starts on a line of its own.
    void end();

private:
    void draw(const std::string &line);

    Style style_;
    std::FILE *to_;
    double lastShown_;               // steady-clock seconds
    platform::LogSink previousSink_; // restored at the end
};

// The text of a progress line.
std::string progressText(const ProgressSnapshot &snapshot);

} // namespace qor::apps
