// Writes captured frames on a thread of its own, so that the capture loop goes on handing frames
// back to the digitizer while earlier ones are being compressed and written.
#pragma once

#include "png_writer.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qor::apps {

struct FrameFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t rowBytes = 0;
    PixelLayout layout = PixelLayout::Grey;
};

class FrameWriter {
public:
    // Frames go to dir as frame-NNNNN.png and, with raw, frame-NNNNN.raw (the bytes as the
    // digitizer delivered them). Neither: frames are counted only.
    FrameWriter(std::string dir, bool png, bool raw);
    ~FrameWriter();
    FrameWriter(const FrameWriter &) = delete;
    FrameWriter &operator=(const FrameWriter &) = delete;

    // Queues a copy of a frame. Waits while too many bytes are queued, so that a slow disk slows
    // the capture (and the driver counts what it then loses) instead of exhausting memory.
    void add(const uint8_t *data, size_t size, const FrameFormat &format);
    // Writes what is queued and ends the thread; the first error, or empty.
    std::string finish();
    uint64_t written() const;

private:
    struct Job {
        uint64_t number;
        std::vector<uint8_t> bytes;
        FrameFormat format;
    };
    void run();
    std::string write(const Job &job) const;

    const std::string dir_;
    const bool png_, raw_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    size_t queuedBytes_ = 0;
    uint64_t next_ = 0;
    uint64_t written_ = 0;
    bool finishing_ = false;
    std::string error_;
    std::thread thread_;
};

} // namespace qor::apps
