// The file writers through the recorder, as a capture uses them: frames per second each format
// sustains (encoding on the recorder's threads, files on the disk under the temporary directory,
// or QORVANTA_BENCH_DIR), for 640x480 and for the largest model's full frame, monochrome and
// decoded colour. Each run reports the camera's frame rate at that size beside it: the raw
// sensor bytes of a frame at the highest data rate of a model with that sensor (or of the
// largest model, for its own frame). main.cpp prints both as a table.
//
// Names are "writer/<format>/<width>x<height>/<mono|colour>".

#include "capture/recorder.h"
#include "sim/models.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace qor::capture;

// Frames per recorder run: enough to keep every encoder thread busy, bounded in memory.
constexpr size_t kBatchBytes = size_t(128) << 20;
constexpr size_t kMaxBatch = 16;

struct Size {
    uint32_t width, height;
    double cameraFps; // full frames per second at the highest data rate
};

double cameraFps(const qor::sim::ModelProfile &model, uint32_t width, uint32_t height) {
    const auto highest = *std::max_element(model.dataRates.begin(), model.dataRates.end());
    return double(highest) * 1024.0 / (double(width) * height);
}

// 640x480 at the fastest model with that sensor; the largest model's full frame at its rate.
std::vector<Size> sizes() {
    const auto models = qor::sim::modelProfiles();
    double vga = 0;
    const qor::sim::ModelProfile *largest = &models.front();
    for (const auto &model : models) {
        if (model.sensorWidth == 640 && model.sensorHeight == 480)
            vga = std::max(vga, cameraFps(model, 640, 480));
        if (uint64_t(model.sensorWidth) * model.sensorHeight >
            uint64_t(largest->sensorWidth) * largest->sensorHeight)
            largest = &model;
    }
    return {{640, 480, vga},
            {largest->sensorWidth, largest->sensorHeight,
             cameraFps(*largest, largest->sensorWidth, largest->sensorHeight)}};
}

// A frame with the texture of a picture (smooth gradients, fine detail and noise), so that PNG's
// compression works as hard as it does on real frames.
std::shared_ptr<Frame> sceneFrame(uint32_t width, uint32_t height, bool colour, uint64_t sequence) {
    auto frame = std::make_shared<Frame>();
    FrameInfo &info = frame->info;
    info.sequence = sequence;
    info.utc = std::chrono::system_clock::now();
    info.layout = colour ? PixelLayout::BGRA : PixelLayout::Grey;
    info.geometry.width = width;
    info.geometry.height = height;
    info.geometry.rowBytes = width * bytesPerPixel(info.layout);
    info.settings.exposureMs = 10;
    info.settings.gain = 0.008;
    frame->pixels.resize(size_t(info.geometry.rowBytes) * height);
    uint32_t noise = 12345 + uint32_t(sequence);
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t *row = frame->pixels.data() + size_t(y) * info.geometry.rowBytes;
        for (uint32_t x = 0; x < info.geometry.rowBytes; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const uint32_t detail = ((x / 16 + y / 16) & 1) * 40;
            row[x] = uint8_t((x / 8 + y / 4) + detail + (noise >> 29));
        }
    }
    return frame;
}

void writerBenchmark(benchmark::State &state, FileFormat format, Size size, bool colour) {
    const char *root = std::getenv("QORVANTA_BENCH_DIR");
    const fs::path base =
        fs::path(root ? root : fs::temp_directory_path().string()) / "qorvanta-bench-writers";
    const size_t frameBytes = size_t(size.width) * size.height * (colour ? 4 : 1);
    const size_t batch = std::clamp<size_t>(kBatchBytes / frameBytes, 2, kMaxBatch);
    std::vector<FramePtr> frames;
    for (size_t i = 0; i < batch; ++i)
        frames.push_back(sceneFrame(size.width, size.height, colour, i));
    CaptureDescription description;
    description.cameraName = "bench";
    RecorderOptions options;
    options.format = format;
    options.memoryBudget = frameBytes * batch;
    options.overwrite = true;
    uint64_t written = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::error_code ec;
        fs::remove_all(base, ec);
        options.directory = base.string();
        state.ResumeTiming();
        std::string error;
        auto recorder = Recorder::create(options, description, &error);
        if (!recorder) {
            state.SkipWithError(error.c_str());
            break;
        }
        for (const FramePtr &frame : frames) recorder->add(frame);
        if (std::string failed = recorder->finish(); !failed.empty()) {
            state.SkipWithError(failed.c_str());
            break;
        }
        written += recorder->counts().written;
    }
    std::error_code ec;
    fs::remove_all(base, ec);
    state.counters["fps"] = benchmark::Counter(double(written), benchmark::Counter::kIsRate);
    state.counters["camera_fps"] = size.cameraFps;
    state.counters["colour"] = colour ? 1 : 0;
}

} // namespace

namespace qor::bench {

void registerWriterBenchmarks() {
    for (const Size &size : sizes()) {
        for (FileFormat format :
             {FileFormat::Png, FileFormat::Tiff, FileFormat::Fits, FileFormat::Ser}) {
            for (bool colour : {false, true}) {
                const std::string name = std::string("writer/") + fileFormatName(format) + "/" +
                                         std::to_string(size.width) + "x" +
                                         std::to_string(size.height) + "/" +
                                         (colour ? "colour" : "mono");
                benchmark::RegisterBenchmark(name.c_str(), writerBenchmark, format, size, colour)
                    ->UseRealTime()
                    ->Unit(benchmark::kMillisecond)
                    ->MinTime(0.5);
            }
        }
    }
}

} // namespace qor::bench
