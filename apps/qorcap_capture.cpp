// The capture loop runs on the program's main thread: the session hands frames over from inside
// poll(), and the loop queues them with the recorder, whose threads write them. A stop signal
// only sets gStopSignal; the loop sees it within a poll (a tenth of a second), stops the camera
// and lets the recorder write what is queued and close its files, as at any other end.

#include "qorcap_capture.h"

#include "qorcap_progress.h"
#include "qorcap_text.h"

#include "capture/recorder.h"

#include <qorvanta/status.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace qor::apps {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kPollSeconds = 0.1;  // the longest the loop waits before looking at the flags
constexpr double kStallSeconds = 5.0; // plus two frame periods: no frame for this long ends it

// Set by the signal handler: the signal that asked for the stop, and how many came.
std::atomic<int> gStopSignal{0};
std::atomic<int> gSignalsSeen{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free flags");

// The first signal asks for a clean stop and the second is noted; the third is not caught, so
// that it ends a program whose disk no longer takes the queue.
void onStopSignal(int signal) {
    int expected = 0;
    gStopSignal.compare_exchange_strong(expected, signal);
    if (gSignalsSeen.fetch_add(1) + 1 >= 2) {
        struct sigaction restore {};
        restore.sa_handler = SIG_DFL;
        sigemptyset(&restore.sa_mask);
        sigaction(SIGINT, &restore, nullptr);
        sigaction(SIGTERM, &restore, nullptr);
    }
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls: the handler may run on any thread, also one in the middle of a write.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// A number the user gave, as short as it was given: 2, 0.5, 1.25.
std::string asGiven(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

enum class Ending { Count, Time, Signal, WriteError, Unplugged, Failed, Stalled };

const char *endingName(Ending ending) {
    static const char *const kNames[] = {"count",     "time",   "signal", "write-error",
                                         "unplugged", "failed", "stalled"};
    return kNames[int(ending)];
}

std::string signalName(int signal) {
    return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : std::to_string(signal);
}

std::string streamDescription(const capture::StreamFormat &format) {
    std::string what = format.layout == capture::PixelLayout::Mosaic
                           ? std::string("raw mosaic ") + capture::mosaicName(format.mosaic)
                       : format.layout == capture::PixelLayout::Grey
                           ? std::string("grey")
                           : std::string("colour (") + capture::layoutName(format.layout) + ")";
    return std::to_string(format.geometry.width) + " x " + std::to_string(format.geometry.height) +
           ", " + what + ", " + significant(format.framesPerSecond) +
           " frames/s from the camera (" + significant(format.bytesPerSecond / 1048576.0) +
           " MB/s)";
}

// What the loop and the frame handler share; all of it on the loop's thread.
struct Tally {
    uint64_t wanted = UINT64_MAX;
    uint64_t captured = 0;
    Clock::time_point lastFrame{};
    bool hasTemperature = false;
    double temperatureC = NAN;
};

// Frames the driver lost. Frames held back to keep to a requested rate are overwritten in its
// ring as a matter of course: passed over, not lost.
uint64_t droppedOf(const capture::DropCounts &drops, bool throttled) {
    return drops.lostInTransfer + (throttled ? 0 : drops.overwritten);
}

struct Result {
    Ending ending = Ending::Count;
    int signal = 0;
    std::string error;
    uint64_t captured = 0, written = 0, skipped = 0;
    capture::DropCounts drops;
    uint64_t dropped = 0;
    double captureSeconds = 0, totalSeconds = 0;
    double temperatureC = NAN; // the last frame's sensor temperature, where known
};

int exitCodeOf(const Result &r) {
    switch (r.ending) {
    case Ending::WriteError:
        return kWriteFailed;
    case Ending::Unplugged:
        return kCameraLost;
    case Ending::Failed:
    case Ending::Stalled:
        return kCaptureFailed;
    default:
        break;
    }
    if (!r.error.empty()) return kWriteFailed; // found only when the files were closed
    return r.ending == Ending::Signal ? kSignalBase + r.signal : kOk;
}

void printSummary(const Options &o, const capture::Camera &camera,
                  const capture::StreamFormat &stream, const std::string &directory,
                  const std::string &note, const Result &r, int exitCode) {
    const double fps = r.captureSeconds > 0 ? double(r.captured) / r.captureSeconds : 0;
    const double writeFps = r.totalSeconds > 0 ? double(r.written) / r.totalSeconds : 0;
    const char *format = o.writeFiles ? capture::fileFormatName(o.recorder.format) : "none";
    if (o.json) {
        JsonObject j;
        j.text("camera", camera.info().name)
            .flag("cooled", camera.info().cooled)
            .number("frames", r.captured)
            .number("written", r.written)
            .number("skipped", r.skipped)
            .number("dropped", r.dropped)
            .raw("drops", JsonObject()
                              .number("overwritten", r.drops.overwritten)
                              .number("lost_in_transfer", r.drops.lostInTransfer)
                              .number("unrequested", r.drops.unrequested)
                              .str())
            .number("seconds", r.captureSeconds, fixed(r.captureSeconds, 3))
            .number("fps", fps, significant(fps))
            .number("total_seconds", r.totalSeconds, fixed(r.totalSeconds, 3))
            .number("write_fps", writeFps, significant(writeFps))
            .text("format", format)
            .number("width", uint64_t(stream.geometry.width))
            .number("height", uint64_t(stream.geometry.height))
            .text("layout", capture::layoutName(stream.layout))
            .text("mosaic", capture::mosaicName(stream.mosaic))
            .number("temperature_c", r.temperatureC, fixed(r.temperatureC, 1));
        if (o.writeFiles)
            j.text("out", directory);
        else
            j.null("out");
        if (note.empty())
            j.null("note");
        else
            j.text("note", note);
        j.text("stopped", endingName(r.ending));
        if (r.error.empty())
            j.null("error");
        else
            j.text("error", r.error);
        j.number("exit_code", uint64_t(exitCode));
        std::printf("%s\n", j.str().c_str());
    } else {
        std::printf(
            "summary frames=%llu written=%llu skipped=%llu dropped=%llu seconds=%s fps=%s "
            "total_seconds=%s write_fps=%s format=%s stopped=%s exit=%d out=%s\n",
            static_cast<unsigned long long>(r.captured), static_cast<unsigned long long>(r.written),
            static_cast<unsigned long long>(r.skipped), static_cast<unsigned long long>(r.dropped),
            fixed(r.captureSeconds, 3).c_str(), significant(fps).c_str(),
            fixed(r.totalSeconds, 3).c_str(), significant(writeFps).c_str(), format,
            endingName(r.ending), exitCode, o.writeFiles ? directory.c_str() : "-");
    }
    std::fflush(stdout);
}

// Lets the recorder write what is queued and close its files, showing how far it is.
void drain(capture::Recorder &recorder, Progress &progress, ProgressSnapshot snapshot,
           Result &result) {
    const Clock::time_point start = Clock::now();
    std::future<std::string> finished =
        std::async(std::launch::async, [&recorder] { return recorder.finish(); });
    snapshot.draining = true;
    bool told = false;
    while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        const capture::RecorderCounts counts = recorder.counts();
        snapshot.written = counts.written;
        snapshot.skipped = counts.skipped;
        snapshot.queuedBytes = counts.queuedBytes;
        snapshot.elapsed = secondsSince(start);
        progress.update(snapshot);
        if (!told && gSignalsSeen.load() >= 2) {
            told = true;
            progress.end();
            std::fprintf(stderr,
                         "qorcap: writing the %llu frames still queued, then closing the files; "
                         "a third Ctrl-C quits at once and leaves the last file incomplete\n",
                         static_cast<unsigned long long>(counts.accepted - counts.written));
        }
    }
    const std::string error = finished.get();
    if (result.error.empty()) result.error = error;
}

} // namespace

int runCapture(const Options &o, capture::Camera &camera) {
    const capture::CameraInfo &info = camera.info();
    capture::CaptureDescription description;
    description.cameraName = info.name;
    description.productID = info.productID;
    description.serial = info.serial;
    description.driverVersion = capture::driverVersion();
    description.start = std::chrono::system_clock::now();

    installStopHandlers();
    std::unique_ptr<capture::Recorder> recorder;
    if (o.writeFiles) {
        const capture::RecorderOptions &recorderOptions = o.recorder;
        std::string error;
        recorder = capture::Recorder::create(recorderOptions, description, &error);
        if (!recorder) {
            std::fprintf(stderr, "qorcap: %s\n", error.c_str());
            return kWriteFailed;
        }
        if (!recorder->note().empty())
            std::fprintf(stderr, "qorcap: %s\n", recorder->note().c_str());
    }
    const std::string directory = recorder ? recorder->directory() : std::string();
    const std::string note = recorder ? recorder->note() : std::string();

    Tally tally;
    if (o.seconds <= 0) tally.wanted = o.frames;
    capture::CaptureOptions options;
    options.record = o.record;
    options.rate = o.rate;
    options.rawMosaic = o.mosaic;
    const int32_t status = camera.start(options, [&](capture::FramePtr frame) {
        if (tally.captured >= tally.wanted) return; // beyond the count: given back unwritten
        ++tally.captured;
        tally.lastFrame = Clock::now();
        tally.hasTemperature =
            frame->info.settings.hasCooler && std::isfinite(frame->info.settings.temperatureC);
        tally.temperatureC = frame->info.settings.temperatureC;
        if (recorder) recorder->add(std::move(frame));
    });
    if (status != 0) {
        std::fprintf(stderr, "qorcap: cannot start capturing from %s: %s\n", info.name.c_str(),
                     capture::statusText(status).c_str());
        return kCaptureFailed;
    }
    const capture::StreamFormat format = camera.format();
    const bool chatty = !o.quiet && !o.json;
    if (chatty) {
        std::printf("camera   %s (model %04X, serial %s%s)\n", info.name.c_str(), info.productID,
                    info.serial.c_str(), info.simulated ? ", simulated" : "");
        std::printf("frames   %s\n", streamDescription(format).c_str());
        const std::string what =
            o.seconds > 0 ? asGiven(o.seconds) + " s" : std::to_string(o.frames) + " frames";
        if (recorder)
            std::printf("capture  %s %s into %s as %s\n", o.record ? "record" : "preview",
                        what.c_str(), directory.c_str(),
                        capture::fileFormatName(o.recorder.format));
        else
            std::printf("capture  %s %s, writing no files\n", o.record ? "record" : "preview",
                        what.c_str());
        std::fflush(stdout);
    }
    // Progress on standard output, or with --json (which keeps standard output for the result)
    // on a terminal's standard error.
    Progress::Style style = Progress::Style::None;
    std::FILE *progressTo = stdout;
    if (chatty) {
        style = Progress::styleFor(stdout);
    } else if (o.json && !o.quiet && Progress::styleFor(stderr) == Progress::Style::InPlace) {
        style = Progress::Style::InPlace;
        progressTo = stderr;
    }
    Progress progress(style, progressTo);

    const bool throttled = o.rate > 0;
    const double framePeriod = format.framesPerSecond > 0 ? 1.0 / format.framesPerSecond : 0;
    Result result;
    ProgressSnapshot snapshot;
    snapshot.wantedFrames = o.seconds > 0 ? 0 : o.frames;
    snapshot.wantedSeconds = o.seconds;
    auto takeCounts = [&](double elapsed) {
        snapshot.captured = tally.captured;
        snapshot.elapsed = elapsed;
        snapshot.fps = elapsed > 0 ? double(tally.captured) / elapsed : 0;
        snapshot.dropped = droppedOf(camera.drops(), throttled);
        snapshot.hasTemperature = tally.hasTemperature;
        snapshot.temperatureC = tally.temperatureC;
        if (recorder) {
            const capture::RecorderCounts counts = recorder->counts();
            snapshot.written = counts.written;
            snapshot.skipped = counts.skipped;
            snapshot.queuedBytes = counts.queuedBytes;
        }
    };

    const Clock::time_point start = Clock::now();
    for (;;) {
        const double elapsed = secondsSince(start);
        if (o.seconds <= 0 && tally.captured >= o.frames) {
            result.ending = Ending::Count;
            break;
        }
        if (o.seconds > 0 && elapsed >= o.seconds) {
            result.ending = Ending::Time;
            break;
        }
        if (const int signal = gStopSignal.load()) {
            result.ending = Ending::Signal;
            result.signal = signal;
            break;
        }
        if (recorder) {
            if (std::string error = recorder->error(); !error.empty()) {
                result.ending = Ending::WriteError;
                result.error = error;
                break;
            }
        }
        double wait = kPollSeconds;
        if (o.seconds > 0) wait = std::min(wait, o.seconds - elapsed);
        const int32_t polled = camera.poll(wait);
        if (polled == kIOReturnNoDevice) {
            result.ending = Ending::Unplugged;
            result.error = "the camera was unplugged";
            break;
        }
        if (polled != 0) {
            result.ending = Ending::Failed;
            result.error = "the capture failed: " + capture::statusText(polled);
            break;
        }
        const Clock::time_point since = tally.captured ? tally.lastFrame : start;
        const double quiet = secondsSince(since);
        if (quiet > kStallSeconds + 2 * framePeriod) {
            result.ending = Ending::Stalled;
            result.error = "no frame from the camera for " + fixed(quiet, 1) + " s";
            break;
        }
        takeCounts(secondsSince(start));
        progress.update(snapshot);
    }
    result.captureSeconds = secondsSince(start);
    result.captured = tally.captured;
    if (tally.hasTemperature) result.temperatureC = tally.temperatureC;
    result.drops = camera.drops();
    result.dropped = droppedOf(result.drops, throttled);
    camera.stop();
    takeCounts(result.captureSeconds);
    progress.update(snapshot, true);

    if (recorder) drain(*recorder, progress, snapshot, result);
    progress.end();
    result.totalSeconds = secondsSince(start);
    if (recorder) {
        const capture::RecorderCounts counts = recorder->counts();
        result.written = counts.written;
        result.skipped = counts.skipped;
    }

    if (result.ending == Ending::Signal)
        std::fprintf(stderr, "qorcap: stopped by %s after %llu frames; the files are closed\n",
                     signalName(result.signal).c_str(),
                     static_cast<unsigned long long>(result.captured));
    if (!result.error.empty()) {
        // Unplugged: the frames so far are kept; say how many.
        if (result.ending == Ending::Unplugged)
            std::fprintf(stderr, "qorcap: the camera was unplugged after %llu frames\n",
                         static_cast<unsigned long long>(result.captured));
        else
            std::fprintf(stderr, "qorcap: %s\n", result.error.c_str());
    }
    const int exitCode = exitCodeOf(result);
    printSummary(o, camera, format, directory, note, result, exitCode);
    return exitCode;
}

} // namespace qor::apps
