// The pieces the recorder is built from: one encoder per per-file format, the SER video writer,
// the sidecar of frame metadata, and the small helpers they share. Each encoder writes one frame
// to the path it is given and returns the reason it could not ("" on success); the recorder
// picks the names and renames finished files into place.
#pragma once

#include "capture/frame.h"
#include "capture/recorder.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qor::capture::detail {

// "qorvanta 0.1.0": what the files name as the program that wrote them.
std::string softwareName();

// "2026-12-08T21:15:03.250Z": UTC with milliseconds.
std::string isoUtc(std::chrono::system_clock::time_point time);
// The same without the zone letter, as FITS DATE-OBS wants it.
std::string fitsDate(std::chrono::system_clock::time_point time);

// True when the frame's buffer holds what its geometry and layout say.
bool frameIsWhole(const Frame &frame);

// One row of a decoded colour frame as R, G, B bytes (3 * width); grey and mosaic rows are
// copied as they are (width bytes).
void copyRow(const Frame &frame, uint32_t y, uint8_t *out);
// Bytes per pixel in the files: 3 for decoded colour, 1 otherwise.
uint32_t filePixelBytes(PixelLayout layout);
bool isDecodedColour(PixelLayout layout);

// The frame's settings as "key=value" pairs (those that are known), for text chunks and
// descriptions.
std::vector<std::pair<std::string, std::string>> describeFrame(const Frame &frame,
                                                               const CaptureDescription &capture);

// strerror(errnum) as a string.
std::string systemReason(int errnum);

// Per-file encoders. `level` is the zlib level of PNG.
std::string writePng(const Frame &frame, const CaptureDescription &capture, int level,
                     const std::string &path);
std::string writeTiff(const Frame &frame, const CaptureDescription &capture,
                      const std::string &path);
// cfitsio fills its table of file drivers on first use without a lock: done once, before the
// encoder threads start, so that they only read it.
void prepareFitsLibrary();
std::string writeFits(const Frame &frame, const CaptureDescription &capture,
                      const std::string &path);

// SER colour ids.
enum SerColour : int32_t {
    kSerMono = 0,
    kSerBayerRGGB = 8,
    kSerBayerGRBG = 9,
    kSerBayerGBRG = 10,
    kSerBayerBGGR = 11,
    kSerRGB = 100,
    kSerBGR = 101,
};
constexpr size_t kSerHeaderBytes = 178;
// .NET ticks (100 ns since 0001-01-01) of a UTC time point.
int64_t dotNetTicks(std::chrono::system_clock::time_point time);
int32_t serColourFor(PixelLayout layout, MosaicPhase mosaic);

// One SER video. The header is written when the file is opened and its frame count is kept
// right after every frame, so the file is valid whenever it is read; on a failed frame the file
// is cut back to the last whole one. The trailer of time stamps is written by close().
class SerFile {
public:
    SerFile() = default;
    ~SerFile();
    SerFile(const SerFile &) = delete;
    SerFile &operator=(const SerFile &) = delete;

    // Creates the file; "" or the reason.
    std::string open(const std::string &path, const CaptureDescription &capture);
    // Appends one frame; the first one fixes size and colour. "" or the reason.
    std::string append(const Frame &frame);
    // Writes the trailer and closes. "" or the reason (the frames stay valid either way).
    std::string close();
    uint32_t frameCount() const { return count_; }

private:
    std::string patchHeader();
    void cutBack();

    int fd_ = -1;
    uint32_t count_ = 0;
    uint32_t width_ = 0, height_ = 0;
    PixelLayout layout_ = PixelLayout::Grey;
    MosaicPhase mosaic_ = MosaicPhase::None;
    bool fixed_ = false;
    std::vector<int64_t> stamps_;
    std::vector<uint8_t> buffer_;
};

// The per-capture file of every written frame's metadata: frames.csv or frames.jsonl.
class Sidecar {
public:
    Sidecar() = default;
    ~Sidecar();
    Sidecar(const Sidecar &) = delete;
    Sidecar &operator=(const Sidecar &) = delete;

    static const char *fileName(SidecarFormat format);
    std::string open(const std::string &path, SidecarFormat format);
    // One line for a written frame, flushed so that the sidecar matches the files on disk.
    std::string append(const std::string &fileName, const Frame &frame);
    std::string close();

private:
    FILE *file_ = nullptr;
    SidecarFormat format_ = SidecarFormat::Csv;
};

} // namespace qor::capture::detail
