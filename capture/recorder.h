// Writes a capture's frames to files, on threads of its own, in the format the user asked for:
// one PNG, TIFF or FITS file per frame with a sidecar of every frame's metadata, or one SER
// video. Memory is bounded: frames that would exceed the budget are skipped and counted, so a
// slow disk or encoder shows up in the numbers instead of in memory use. A write error stops
// the writing, names the file and the reason, and leaves every file written so far complete.
#pragma once

#include "capture/frame.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qor::capture {

enum class FileFormat { Png, Tiff, Fits, Ser };
// "png", "tiff", "fits", "ser"; nullopt for anything else.
std::optional<FileFormat> parseFileFormat(const std::string &text);
const char *fileFormatName(FileFormat format);

enum class SidecarFormat { Csv, JsonLines };

struct RecorderOptions {
    FileFormat format = FileFormat::Png;
    std::string directory = "out";
    // Write into a directory that holds an earlier capture (its files of the same names are
    // replaced). Off: such a directory is left alone and the next free "DIR-2", "DIR-3" ... is
    // used instead.
    bool overwrite = false;
    size_t memoryBudget = size_t(256) << 20; // bytes of queued frames at most
    unsigned threads = 0;                    // encoder threads; 0: one per core
    int pngLevel = 1;                        // zlib level of PNG files: fast by default
    SidecarFormat sidecar = SidecarFormat::Csv;
};

struct RecorderCounts {
    uint64_t accepted = 0; // frames taken into the queue
    uint64_t written = 0;  // frames in complete files
    uint64_t skipped = 0;  // frames not taken: the budget was full, or writing had failed
    size_t queuedBytes = 0;
};

class Recorder {
public:
    // Chooses and creates the directory and opens what the format needs up front. Null, with
    // the reason, when that fails.
    static std::unique_ptr<Recorder> create(const RecorderOptions &options,
                                            const CaptureDescription &description,
                                            std::string *error);
    ~Recorder(); // finishes
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // Queues a frame without copying it; false when it was skipped.
    bool add(FramePtr frame);
    RecorderCounts counts() const;
    // The first write error ("cannot write out/frame-00012.fits: No space left on device"), or
    // empty.
    std::string error() const;
    // Writes what is queued and closes the files (the SER header's frame count and the
    // trailer of time stamps). Returns the first error, or empty. Idempotent.
    std::string finish();

    // Where the files go; differs from the directory asked for when that held an earlier
    // capture.
    const std::string &directory() const;
    // Set when the directory differs from the one asked for: why.
    const std::string &note() const;

private:
    Recorder();
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace qor::capture
