#include "frame_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qor::apps {

namespace {

// Frames waiting to be written may hold this much memory before the capture waits for them.
constexpr size_t kMostQueuedBytes = size_t(512) << 20;

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

std::string writeRaw(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) return "cannot create " + path + ": " + std::strerror(errno);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
        std::fflush(file.get()) != 0)
        return "cannot write " + path + ": " + std::strerror(errno);
    return {};
}

} // namespace

FrameWriter::FrameWriter(std::string dir, bool png, bool raw)
    : dir_(std::move(dir)), png_(png), raw_(raw), thread_([this] { run(); }) {}

FrameWriter::~FrameWriter() {
    finish();
}

void FrameWriter::add(const uint8_t *data, size_t size, const FrameFormat &format) {
    std::unique_lock guard(lock_);
    const uint64_t number = ++next_;
    if (!png_ && !raw_) {
        ++written_;
        return;
    }
    changed_.wait(guard, [&] {
        return queuedBytes_ == 0 || queuedBytes_ + size <= kMostQueuedBytes || !error_.empty();
    });
    if (!error_.empty()) return;
    queue_.push_back(Job{number, std::vector<uint8_t>(data, data + size), format});
    queuedBytes_ += size;
    changed_.notify_all();
}

std::string FrameWriter::finish() {
    {
        std::lock_guard guard(lock_);
        finishing_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard guard(lock_);
    return error_;
}

uint64_t FrameWriter::written() const {
    std::lock_guard guard(lock_);
    return written_;
}

void FrameWriter::run() {
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [&] { return !queue_.empty() || finishing_; });
        if (queue_.empty()) return;
        Job job = std::move(queue_.front());
        queue_.pop_front();
        guard.unlock();
        std::string error = error_.empty() ? write(job) : std::string();
        guard.lock();
        queuedBytes_ -= job.bytes.size();
        if (error.empty() && error_.empty()) ++written_;
        if (!error.empty() && error_.empty()) error_ = error;
        changed_.notify_all();
    }
}

std::string FrameWriter::write(const Job &job) const {
    char name[32];
    std::snprintf(name, sizeof name, "frame-%05llu", static_cast<unsigned long long>(job.number));
    const std::string base = dir_ + "/" + name;
    if (png_) {
        std::string error =
            writePng(base + ".png", job.bytes.data(), job.format.width, job.format.height,
                     job.format.rowBytes, job.format.layout, true);
        if (!error.empty()) return error;
    }
    if (raw_) return writeRaw(base + ".raw", job.bytes);
    return {};
}

} // namespace qor::apps
