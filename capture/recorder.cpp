// The recorder: a bounded queue of shared frames and the threads that write them.
//
// add() runs on the capture's thread and never waits for a writer: it takes the frame when the
// bytes already queued leave room for it under the budget, and counts it as skipped otherwise.
// Per-file formats are encoded by several threads at once, each into a hidden temporary name
// that is renamed into place once the file is complete; the sidecar's rows are put back into
// the order the frames arrived in. SER is written by one thread, in order. `mutex` guards the
// queue, the counts and the first error; `rowsMutex` the sidecar and its reordering.
#include "capture/recorder.h"
#include "capture/writers_internal.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace qor::capture {

namespace fs = std::filesystem;
using namespace detail;

std::optional<FileFormat> parseFileFormat(const std::string &text) {
    static const std::pair<const char *, FileFormat> kNames[] = {
        {"png", FileFormat::Png},
        {"tiff", FileFormat::Tiff},
        {"fits", FileFormat::Fits},
        {"ser", FileFormat::Ser},
    };
    for (const auto &[name, format] : kNames)
        if (text == name) return format;
    return std::nullopt;
}

const char *fileFormatName(FileFormat format) {
    switch (format) {
    case FileFormat::Png:
        return "png";
    case FileFormat::Tiff:
        return "tiff";
    case FileFormat::Fits:
        return "fits";
    case FileFormat::Ser:
        return "ser";
    }
    return "png";
}

namespace {

constexpr const char *kSerName = "capture.ser";
constexpr const char *kFramePrefix = "frame-";

// The extension of a per-file format's frames.
const char *frameExtension(FileFormat format) {
    return format == FileFormat::Tiff ? ".tiff" : format == FileFormat::Fits ? ".fits" : ".png";
}

std::string frameName(FileFormat format, uint64_t sequence) {
    char name[48];
    std::snprintf(name, sizeof name, "%s%06llu%s", kFramePrefix, (unsigned long long)sequence,
                  frameExtension(format));
    return name;
}

// Whether a file of this name is one the recorder writes (of any format).
bool isCaptureFile(const std::string &name) {
    if (name == kSerName || name == Sidecar::fileName(SidecarFormat::Csv) ||
        name == Sidecar::fileName(SidecarFormat::JsonLines))
        return true;
    if (name.compare(0, 6, kFramePrefix) != 0) return false;
    for (FileFormat format : {FileFormat::Png, FileFormat::Tiff, FileFormat::Fits}) {
        const std::string ext = frameExtension(format);
        if (name.size() > ext.size() + 6 &&
            name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
            return true;
    }
    return false;
}

bool holdsCapture(const fs::path &directory) {
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec))
        if (isCaptureFile(it->path().filename().string())) return true;
    return false;
}

std::string removeCapture(const fs::path &directory) {
    std::error_code ec;
    std::vector<fs::path> doomed;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec))
        if (isCaptureFile(it->path().filename().string())) doomed.push_back(it->path());
    if (ec) return "cannot read " + directory.string() + ": " + ec.message();
    for (const fs::path &path : doomed)
        if (!fs::remove(path, ec) && ec)
            return "cannot remove " + path.string() + ": " + ec.message();
    return {};
}

// A directory that is free for this capture: the one asked for, or the next free numbered one
// beside it. Empty `*error` on success.
std::string chooseDirectory(const RecorderOptions &options, std::string *note, std::string *error) {
    std::string base = options.directory;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::error_code ec;
    auto usable = [&](const std::string &candidate, bool *holds) {
        *holds = false;
        const fs::file_status status = fs::status(candidate, ec);
        if (!fs::exists(status)) {
            ec.clear();
            if (!fs::create_directories(candidate, ec) && ec) {
                *error = "cannot create directory " + candidate + ": " + ec.message();
                return false;
            }
            return true;
        }
        if (!fs::is_directory(status)) {
            *error = candidate + " exists and is not a directory";
            return false;
        }
        *holds = holdsCapture(candidate);
        return true;
    };
    bool holds = false;
    if (!usable(base, &holds)) return {};
    if (!holds) return base;
    if (options.overwrite) {
        *error = removeCapture(base);
        return error->empty() ? base : std::string();
    }
    for (unsigned n = 2;; ++n) {
        const std::string candidate = base + "-" + std::to_string(n);
        // A file of that name is someone else's: not ours to complain about, just taken.
        if (fs::exists(candidate, ec) && !fs::is_directory(candidate, ec)) continue;
        if (!usable(candidate, &holds)) return {};
        if (holds) continue;
        *note = base + " holds an earlier capture; writing to " + candidate;
        return candidate;
    }
}

} // namespace

struct Recorder::State {
    RecorderOptions options;
    CaptureDescription capture;
    std::string directory, note;

    struct Job {
        FramePtr frame;
        uint64_t ticket; // the order frames were accepted in
    };
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> queue;
    RecorderCounts counts;
    std::string error;
    bool closing = false;
    uint64_t nextTicket = 0;

    // Finished frames waiting for their row until every earlier one is settled; an empty name
    // marks a frame that was not written.
    std::mutex rowsMutex;
    std::map<uint64_t, std::pair<std::string, FramePtr>> settled;
    uint64_t nextRow = 0;
    Sidecar sidecar;

    SerFile ser;
    std::vector<std::thread> threads;

    std::mutex finishMutex;
    bool finished = false;

    std::string path(const std::string &name) const { return directory + "/" + name; }

    // Keeps the first error; later ones follow from it.
    void fail(const std::string &file, const std::string &reason) {
        std::lock_guard lock(mutex);
        if (error.empty()) error = "cannot write " + file + ": " + reason;
    }

    bool failed() const {
        std::lock_guard lock(mutex);
        return !error.empty();
    }

    // The next frame to write, or none when the recorder is closing and the queue is empty.
    bool take(Job *job) {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return !queue.empty() || closing; });
        if (queue.empty()) return false;
        *job = std::move(queue.front());
        queue.pop_front();
        return true;
    }

    void release(const Job &job, bool written) {
        std::lock_guard lock(mutex);
        counts.queuedBytes -= job.frame->pixels.size();
        if (written) ++counts.written;
    }

    void settle(uint64_t ticket, std::string name, FramePtr frame) {
        std::lock_guard lock(rowsMutex);
        settled.emplace(ticket, std::make_pair(std::move(name), std::move(frame)));
        for (auto it = settled.find(nextRow); it != settled.end(); it = settled.find(nextRow)) {
            if (!it->second.first.empty()) {
                const std::string reason = sidecar.append(it->second.first, *it->second.second);
                if (!reason.empty()) fail(path(Sidecar::fileName(options.sidecar)), reason);
            }
            settled.erase(it);
            ++nextRow;
        }
    }

    // Writes one frame into a hidden temporary file and renames it into place.
    bool writeFrameFile(const Frame &frame, std::string *name) {
        *name = frameName(options.format, frame.info.sequence);
        const std::string final = path(*name);
        const std::string temporary = path("." + *name + ".part");
        std::string reason;
        switch (options.format) {
        case FileFormat::Png:
            reason = writePng(frame, capture, options.pngLevel, temporary);
            break;
        case FileFormat::Tiff:
            reason = writeTiff(frame, capture, temporary);
            break;
        case FileFormat::Fits:
            reason = writeFits(frame, capture, temporary);
            break;
        case FileFormat::Ser:
            reason = "not a per-file format";
            break;
        }
        if (reason.empty() && std::rename(temporary.c_str(), final.c_str()) != 0)
            reason = systemReason(errno);
        if (reason.empty()) return true;
        std::remove(temporary.c_str());
        fail(final, reason);
        return false;
    }

    void runFileWriter() {
        Job job;
        while (take(&job)) {
            std::string name;
            const bool written = !failed() && writeFrameFile(*job.frame, &name);
            if (!written) name.clear();
            release(job, written);
            settle(job.ticket, std::move(name), std::move(job.frame));
        }
    }

    void runSerWriter() {
        Job job;
        while (take(&job)) {
            bool written = false;
            if (!failed()) {
                const std::string reason = ser.append(*job.frame);
                if (reason.empty())
                    written = true;
                else
                    fail(path(kSerName), reason);
            }
            release(job, written);
        }
    }
};

Recorder::Recorder() : state_(std::make_unique<State>()) {}

Recorder::~Recorder() {
    finish();
}

std::unique_ptr<Recorder> Recorder::create(const RecorderOptions &options,
                                           const CaptureDescription &description,
                                           std::string *error) {
    std::string reason;
    std::string *why = error ? error : &reason;
    why->clear();
    if (options.directory.empty()) {
        *why = "no output directory given";
        return nullptr;
    }
    if (options.pngLevel < 0 || options.pngLevel > 9) {
        *why = "PNG compression level " + std::to_string(options.pngLevel) +
               " is out of range (0 to 9)";
        return nullptr;
    }
    std::unique_ptr<Recorder> recorder(new Recorder());
    State &s = *recorder->state_;
    s.options = options;
    s.capture = description;
    s.directory = chooseDirectory(options, &s.note, why);
    if (!why->empty()) return nullptr;

    unsigned threads = 1;
    if (options.format == FileFormat::Ser) {
        if (std::string failure = s.ser.open(s.path(kSerName), description); !failure.empty()) {
            *why = "cannot write " + s.path(kSerName) + ": " + failure;
            return nullptr;
        }
    } else {
        const std::string sidecar = s.path(Sidecar::fileName(options.sidecar));
        if (std::string failure = s.sidecar.open(sidecar, options.sidecar); !failure.empty()) {
            *why = "cannot write " + sidecar + ": " + failure;
            return nullptr;
        }
        if (options.format == FileFormat::Fits) prepareFitsLibrary();
        threads = options.threads ? options.threads : std::thread::hardware_concurrency();
        if (threads == 0) threads = 1;
    }
    for (unsigned i = 0; i < threads; ++i)
        s.threads.emplace_back([&s, ser = options.format == FileFormat::Ser] {
            if (ser)
                s.runSerWriter();
            else
                s.runFileWriter();
        });
    return recorder;
}

bool Recorder::add(FramePtr frame) {
    State &s = *state_;
    if (!frame || !frameIsWhole(*frame)) return false;
    const size_t bytes = frame->pixels.size();
    {
        std::lock_guard lock(s.mutex);
        if (s.closing || !s.error.empty() || bytes > s.options.memoryBudget ||
            s.counts.queuedBytes > s.options.memoryBudget - bytes) {
            ++s.counts.skipped;
            return false;
        }
        s.counts.queuedBytes += bytes;
        ++s.counts.accepted;
        s.queue.push_back(State::Job{std::move(frame), s.nextTicket++});
    }
    s.wake.notify_one();
    return true;
}

RecorderCounts Recorder::counts() const {
    std::lock_guard lock(state_->mutex);
    return state_->counts;
}

std::string Recorder::error() const {
    std::lock_guard lock(state_->mutex);
    return state_->error;
}

std::string Recorder::finish() {
    State &s = *state_;
    std::lock_guard finishing(s.finishMutex);
    if (!s.finished) {
        {
            std::lock_guard lock(s.mutex);
            s.closing = true;
        }
        s.wake.notify_all();
        for (std::thread &thread : s.threads) thread.join();
        s.threads.clear();
        if (std::string reason = s.ser.close(); !reason.empty()) s.fail(s.path(kSerName), reason);
        {
            std::lock_guard lock(s.rowsMutex);
            if (std::string reason = s.sidecar.close(); !reason.empty())
                s.fail(s.path(Sidecar::fileName(s.options.sidecar)), reason);
        }
        s.finished = true;
    }
    return error();
}

const std::string &Recorder::directory() const {
    return state_->directory;
}

const std::string &Recorder::note() const {
    return state_->note;
}

} // namespace qor::capture
