// SER video: a 178-byte little-endian header, the frames one after another (8 bits per plane;
// decoded colour as R, G, B), and a trailer of each frame's UTC time stamp as .NET ticks.
// The header's frame count is rewritten after every frame, so the file is valid at any moment;
// a frame that fails part way is cut off again, and the count stays that of the whole frames.
#include "capture/writers_internal.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace qor::capture::detail {

namespace {

// Header field offsets.
constexpr size_t kLuID = 14, kColourID = 18, kLittleEndian = 22, kWidth = 26, kHeight = 30,
                 kPixelDepth = 34, kFrameCount = 38, kObserver = 42, kInstrument = 82,
                 kTelescope = 122, kDateTime = 162, kDateTimeUtc = 170;
constexpr size_t kTextField = 40;
// Ticks from 0001-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochTicks = 621355968000000000;

void put32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(value >> (8 * i));
}

void put64(uint8_t *at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = uint8_t(value >> (8 * i));
}

void putText(uint8_t *at, const std::string &text) {
    std::memcpy(at, text.data(), std::min(text.size(), kTextField));
}

// Writes all of `size` bytes at `offset`; the errno of the failure otherwise.
int writeAll(int fd, const uint8_t *data, size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t done = pwrite(fd, data, size, offset);
        if (done < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (done == 0) return ENOSPC;
        data += done, size -= size_t(done), offset += done;
    }
    return 0;
}

// The local time zone's offset from UTC at `time`, in seconds.
long utcOffsetSeconds(std::chrono::system_clock::time_point time) {
    const time_t seconds = std::chrono::system_clock::to_time_t(time);
    struct tm local {};
    localtime_r(&seconds, &local);
    return local.tm_gmtoff;
}

} // namespace

int64_t dotNetTicks(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    return kUnixEpochTicks + duration_cast<nanoseconds>(time.time_since_epoch()).count() / 100;
}

int32_t serColourFor(PixelLayout layout, MosaicPhase mosaic) {
    if (isDecodedColour(layout)) return kSerRGB;
    if (layout != PixelLayout::Mosaic) return kSerMono;
    switch (mosaic) {
    case MosaicPhase::RGGB:
        return kSerBayerRGGB;
    case MosaicPhase::GRBG:
        return kSerBayerGRBG;
    case MosaicPhase::GBRG:
        return kSerBayerGBRG;
    case MosaicPhase::BGGR:
        return kSerBayerBGGR;
    case MosaicPhase::None:
        break;
    }
    return kSerMono;
}

SerFile::~SerFile() {
    close();
}

std::string SerFile::open(const std::string &path, const CaptureDescription &capture) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) return systemReason(errno);
    uint8_t header[kSerHeaderBytes] = {};
    std::memcpy(header, "LUCAM-RECORDER", 14);
    put32(header + kLuID, 0);
    // 8-bit data has no byte order; the flag says little-endian, as the header's numbers are.
    put32(header + kLittleEndian, 1);
    put32(header + kPixelDepth, 8);
    putText(header + kObserver, capture.observer);
    putText(header + kInstrument, capture.cameraName);
    putText(header + kTelescope, capture.telescope);
    const auto start =
        capture.start.time_since_epoch().count() ? capture.start : std::chrono::system_clock::now();
    const int64_t utcTicks = dotNetTicks(start);
    put64(header + kDateTime, uint64_t(utcTicks + int64_t(utcOffsetSeconds(start)) * 10000000));
    put64(header + kDateTimeUtc, uint64_t(utcTicks));
    if (int failure = writeAll(fd_, header, sizeof header, 0)) return systemReason(failure);
    return {};
}

std::string SerFile::patchHeader() {
    uint8_t field[4];
    put32(field, count_);
    if (int failure = writeAll(fd_, field, 4, kFrameCount)) return systemReason(failure);
    return {};
}

void SerFile::cutBack() {
    const size_t frameBytes = size_t(width_) * height_ * filePixelBytes(layout_);
    if (ftruncate(fd_, off_t(kSerHeaderBytes + size_t(count_) * frameBytes)) != 0) {
        // Nothing better to do: the header's count still names only whole frames.
    }
}

std::string SerFile::append(const Frame &frame) {
    if (fd_ < 0) return "not open";
    const FrameGeometry &g = frame.info.geometry;
    if (!fixed_) {
        width_ = g.width, height_ = g.height;
        layout_ = frame.info.layout, mosaic_ = frame.info.mosaic;
        uint8_t fields[kFrameCount - kColourID] = {};
        put32(fields + (kColourID - kColourID), uint32_t(serColourFor(layout_, mosaic_)));
        put32(fields + (kLittleEndian - kColourID), 1);
        put32(fields + (kWidth - kColourID), width_);
        put32(fields + (kHeight - kColourID), height_);
        put32(fields + (kPixelDepth - kColourID), 8);
        if (int failure = writeAll(fd_, fields, sizeof fields, kColourID))
            return systemReason(failure);
        fixed_ = true;
    } else if (g.width != width_ || g.height != height_ ||
               serColourFor(frame.info.layout, frame.info.mosaic) !=
                   serColourFor(layout_, mosaic_)) {
        return "a SER file holds frames of one size and colour; this one differs";
    }
    const uint32_t rowBytes = width_ * filePixelBytes(layout_);
    const size_t frameBytes = size_t(rowBytes) * height_;
    buffer_.resize(frameBytes);
    for (uint32_t y = 0; y < height_; ++y) copyRow(frame, y, buffer_.data() + size_t(y) * rowBytes);
    const off_t at = off_t(kSerHeaderBytes + size_t(count_) * frameBytes);
    if (int failure = writeAll(fd_, buffer_.data(), frameBytes, at)) {
        cutBack();
        return systemReason(failure);
    }
    ++count_;
    if (std::string failure = patchHeader(); !failure.empty()) {
        --count_;
        cutBack();
        return failure;
    }
    stamps_.push_back(dotNetTicks(frame.info.utc));
    return {};
}

std::string SerFile::close() {
    if (fd_ < 0) return {};
    std::string reason;
    if (count_ > 0) {
        std::vector<uint8_t> trailer(stamps_.size() * 8);
        for (size_t i = 0; i < stamps_.size(); ++i)
            put64(trailer.data() + 8 * i, uint64_t(stamps_[i]));
        const size_t frameBytes = size_t(width_) * height_ * filePixelBytes(layout_);
        const off_t at = off_t(kSerHeaderBytes + size_t(count_) * frameBytes);
        if (int failure = writeAll(fd_, trailer.data(), trailer.size(), at)) {
            // A SER file without its trailer is still complete; one with half of it is not.
            cutBack();
            reason = systemReason(failure);
        }
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && reason.empty()) reason = systemReason(errno);
    return reason;
}

} // namespace qor::capture::detail
