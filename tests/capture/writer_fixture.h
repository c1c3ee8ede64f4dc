// What the writer and recorder tests share: frames with a known pattern, a scratch directory,
// and the independent readers (Python with astropy and Pillow, fitsverify, tiffinfo) run as
// programs whose output the tests check.
#pragma once

#include "capture/recorder.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace qor::capture::testing {

namespace fs = std::filesystem;

// The byte the pattern puts at (x, y) in channel c (0 for one-byte layouts, 0..2 for R, G, B) of
// frame `sequence`: every frame, row and channel differs.
inline uint8_t patternByte(uint32_t x, uint32_t y, uint32_t c, uint64_t sequence) {
    return uint8_t(x * 7 + y * 13 + c * 71 + sequence * 29);
}

struct FrameShape {
    PixelLayout layout = PixelLayout::Grey;
    uint32_t width = 12, height = 6;
    MosaicPhase mosaic = MosaicPhase::None;
    FrameSettings settings;
};

// A frame whose rows are padded past their pixels (as the digitizer's are), so a writer that
// ignores rowBytes shows it.
inline std::shared_ptr<Frame> makeFrame(const FrameShape &shape, uint64_t sequence,
                                        std::chrono::system_clock::time_point utc) {
    auto frame = std::make_shared<Frame>();
    FrameInfo &info = frame->info;
    info.sequence = sequence;
    info.digitizerSeconds = 0.5 + double(sequence) / 30.0;
    info.utc = utc;
    info.layout = shape.layout;
    info.mosaic = shape.mosaic;
    info.settings = shape.settings;
    info.geometry.width = shape.width;
    info.geometry.height = shape.height;
    info.geometry.rowBytes = shape.width * bytesPerPixel(shape.layout) + 8;
    info.geometry.originX = 16, info.geometry.originY = 8;
    info.geometry.binX = 2, info.geometry.binY = 2;
    frame->pixels.assign(size_t(info.geometry.rowBytes) * shape.height, 0xEE);
    for (uint32_t y = 0; y < shape.height; ++y) {
        uint8_t *row = frame->pixels.data() + size_t(y) * info.geometry.rowBytes;
        for (uint32_t x = 0; x < shape.width; ++x) {
            switch (shape.layout) {
            case PixelLayout::Grey:
            case PixelLayout::Mosaic:
                row[x] = patternByte(x, y, 0, sequence);
                break;
            case PixelLayout::ARGB:
                row[4 * x] = 0xFF;
                for (uint32_t c = 0; c < 3; ++c)
                    row[4 * x + 1 + c] = patternByte(x, y, c, sequence);
                break;
            case PixelLayout::BGRA:
                for (uint32_t c = 0; c < 3; ++c)
                    row[4 * x + 2 - c] = patternByte(x, y, c, sequence);
                row[4 * x + 3] = 0xFF;
                break;
            }
        }
    }
    return frame;
}

// The pixels as a file of the format stores them, in hex: interleaved R, G, B per pixel
// (interleaved = true) or plane by plane, rows top first.
inline std::string expectedHex(const FrameShape &shape, uint64_t sequence, bool interleaved) {
    const bool colour = shape.layout == PixelLayout::ARGB || shape.layout == PixelLayout::BGRA;
    const uint32_t channels = colour ? 3 : 1;
    std::string hex;
    char two[3];
    auto put = [&](uint8_t b) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    };
    if (interleaved || !colour) {
        for (uint32_t y = 0; y < shape.height; ++y)
            for (uint32_t x = 0; x < shape.width; ++x)
                for (uint32_t c = 0; c < channels; ++c) put(patternByte(x, y, c, sequence));
    } else {
        for (uint32_t c = 0; c < channels; ++c)
            for (uint32_t y = 0; y < shape.height; ++y)
                for (uint32_t x = 0; x < shape.width; ++x) put(patternByte(x, y, c, sequence));
    }
    return hex;
}

// A fresh directory under the system's temporary directory, removed afterwards.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "qor-writers-XXXXXX").string();
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
        fs::permissions(path_, fs::perms(0755));
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

struct CommandResult {
    int status = -1; // exit status
    std::string output;
};

// Runs a command through the shell, with its standard error in the output.
inline CommandResult run(const std::string &command) {
    CommandResult result;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.output.append(buffer.data(), n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The system's Python, which has astropy and Pillow (the first python3 on PATH may not).
constexpr const char *kPython = "/usr/bin/python3";

// Fails the test, naming what to install, when a reader is missing.
inline bool readerPresent(const char *program, const char *package) {
    if (access(program, X_OK) == 0) return true;
    ADD_FAILURE() << program << " is missing: install " << package
                  << " (tools/run-tests.sh installs the test packages)";
    return false;
}

inline bool pythonModulesPresent() {
    if (!readerPresent(kPython, "python3")) return false;
    // Importing astropy takes a while: check once per run.
    static const CommandResult check =
        run(std::string(kPython) + " -c 'import astropy.io.fits, PIL'");
    if (check.status == 0) return true;
    ADD_FAILURE() << "astropy or Pillow is missing from " << kPython
                  << ": install python3-astropy and python3-pil (tools/run-tests.sh installs "
                     "them)\n"
                  << check.output;
    return false;
}

// Runs tests/capture/read_image.py: "key=value" lines, parsed into a map (later keys win).
inline std::map<std::string, std::string> readWithPython(const std::string &kind,
                                                         const std::string &file) {
    std::map<std::string, std::string> values;
    if (!pythonModulesPresent()) return values;
    const CommandResult result = run(std::string(kPython) + " " + QORVANTA_SOURCE_DIR +
                                     "/tests/capture/read_image.py " + kind + " '" + file + "'");
    EXPECT_EQ(result.status, 0) << result.output;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline std::vector<std::string> filesIn(const fs::path &directory) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(directory, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A fixed, millisecond-exact time: 2026-03-14 01:59:26.535 UTC.
inline std::chrono::system_clock::time_point fixedTime() {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(1773453566535LL));
}

inline CaptureDescription description() {
    CaptureDescription d;
    d.cameraName = "QV-262C-0042";
    d.productID = 0x0262;
    d.serial = "0042";
    d.driverVersion = "0.1.0";
    d.observer = "A. Observer";
    d.telescope = "Refractor 80/480";
    d.start = fixedTime();
    return d;
}

} // namespace qor::capture::testing
