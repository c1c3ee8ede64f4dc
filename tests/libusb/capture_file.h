// A temporary stream the tests hand to the libusb backend's logs, read back as text.
#pragma once

#include <cstdio>
#include <string>

namespace qor::testing {

class CaptureFile {
public:
    CaptureFile() : file_(std::tmpfile()) {}
    ~CaptureFile() {
        if (file_) std::fclose(file_);
    }
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;

    FILE *file() const { return file_; }
    std::string text() const {
        std::fflush(file_);
        std::rewind(file_);
        std::string out;
        char buffer[512];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
        return out;
    }

private:
    FILE *file_;
};

inline size_t occurrences(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

} // namespace qor::testing
