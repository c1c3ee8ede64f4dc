// The frame path of the bulk read's completion routine, qor::stream::decodeFrame, on a full-sensor
// frame of every model with its most expensive settings: both flips, the interpolating demosaic,
// a colour matrix and the saturation mark into 32-bit pixels (8-bit grey for monochrome models).
// Beside each one, "frame_copy" copies the decoded frame's bytes once with memcpy: the memory
// traffic that any frame path pays at least; and "frame_stages" runs the same steps one after
// the other over the whole frame, as the path did before it worked in strips of rows.
//
// Names are "frame_path/<product id>/<width>x<height>", "frame_copy/..." and "frame_stages/...".
// Each reports the frame period at the model's highest data rate and the share of one core a frame
// costs at that rate (CPU time, not wall time); main.cpp prints them as a table at the end of the
// run. The colour model with the highest data rate is also measured step by step under
// "frame_stage/...".

#include "camera/image_formats.h"
#include "sim/models.h"
#include "stream/stream_internal.h"

#include <qorvanta/imaging.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kInterpolating = 1, kArgb = 1;
constexpr uint16_t kFirstModelMatrix = 1;
constexpr double kMinSeconds = 0.2;

// What the benchmarks need to know of a model.
struct Model {
    uint16_t productID;
    uint32_t width, height;
    uint32_t bayerPattern; // 0 for a monochrome sensor
    uint32_t highestKB;    // highest data rate, units of 1024 B/s
};

Model modelFrom(const qor::sim::ModelProfile &profile) {
    const auto format = qor::camera::sensorFormatForCode(profile.sensorCode);
    const auto highest = std::max_element(profile.dataRates.begin(), profile.dataRates.end());
    return Model{profile.productID, profile.sensorWidth, profile.sensorHeight,
                 format ? format->formatClass : 0,
                 highest != profile.dataRates.end() ? uint32_t(*highest) : 0u};
}

bool isColour(const Model &model) {
    return model.bayerPattern != 0;
}

size_t pixelCount(const Model &model) {
    return size_t(model.width) * model.height;
}

size_t decodedBytes(const Model &model) {
    return pixelCount(model) * (isColour(model) ? 4 : 1);
}

// Seconds between frames when the camera streams full frames at its highest data rate.
double framePeriodSeconds(const Model &model) {
    return double(pixelCount(model)) / (double(model.highestKB) * 1024.0);
}

// Page-aligned, zero-filled memory, as the driver's raw buffers are: every page is touched
// before timing starts.
struct AlignedFree {
    void operator()(uint8_t *p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t[], AlignedFree>;

Buffer pageAligned(size_t bytes) {
    constexpr size_t kPage = 4096;
    const size_t rounded = (bytes + kPage - 1) / kPage * kPage;
    auto *p = static_cast<uint8_t *>(std::aligned_alloc(kPage, rounded));
    if (!p) {
        std::fprintf(stderr, "out of memory for a %zu-byte frame\n", bytes);
        std::abort();
    }
    std::memset(p, 0, rounded);
    return Buffer(p);
}

// A raw frame as a sensor delivers it: a smooth diagonal gradient with a bright patch that
// clips, plus a few levels of noise, in the model's mosaic (the gradient differs per channel
// so the demosaic sees colour).
void fillRawFrame(uint8_t *raw, const Model &model) {
    std::mt19937 rng(model.productID);
    std::uniform_int_distribution<int> noise(-6, 6);
    const double w = model.width, h = model.height;
    for (uint32_t y = 0; y < model.height; ++y) {
        for (uint32_t x = 0; x < model.width; ++x) {
            const int channel = int((y & 1) * 2 + (x & 1));
            double level = 24.0 + 180.0 * (x / w + y / h) * 0.5 + 12.0 * channel;
            const double dx = x / w - 0.7, dy = y / h - 0.3;
            if (dx * dx + dy * dy < 0.01) level = 255.0;
            const int value = int(level) + noise(rng);
            raw[size_t(y) * model.width + x] = uint8_t(std::clamp(value, 0, 255));
        }
    }
}

// A frame of the model ready for the frame path: the record with the settings the completion
// routine reads, the raw frame, its line buffer and a ring slot.
struct FrameSetup {
    std::unique_ptr<CameraRecord> record;
    Buffer raw, line, slot;

    explicit FrameSetup(const Model &model) : record(std::make_unique<CameraRecord>()) {
        CameraRecord &r = *record;
        const bool colour = isColour(model);
        r.productID = model.productID;
        r.rawWidth = model.width;
        r.rawHeight = model.height;
        r.rawFrameBytes = model.width * model.height;
        r.destRowBytes = colour ? 4 * model.width : model.width;
        r.bayerPattern = model.bayerPattern;
        r.decodeMethod = kInterpolating;
        r.outputFormat = kArgb;
        r.colorSensor = colour ? 1 : 0;
        // A grey frame has no colour to correct: the matrix works on 32-bit pixels only.
        r.colorMatrixIndex = colour ? kFirstModelMatrix : 0;
        if (colour)
            QORAGetBaseRGBCorrectionMatrix(r.colorMatrix, model.productID, kFirstModelMatrix);
        r.saturationMarkOn = 1;
        r.flipHorizontal = 1;
        r.flipVertical = 1;
        raw = pageAligned(pixelCount(model));
        line = pageAligned(model.width + 16);
        slot = pageAligned(decodedBytes(model));
        r.lineBuffer = line.get();
        fillRawFrame(raw.get(), model);
    }
};

// CPU time of the calling thread, in seconds: the clock behind the benchmarks' CPU time.
double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Counters shared by the path, the copy and the stages: the frame period and frames per second
// at the highest data rate, and CPU time per frame over the frame period in percent. `cpu` is
// the thread's CPU time across the timed loop.
void setFrameCounters(benchmark::State &state, const Model &model, double cpu) {
    const double period = framePeriodSeconds(model);
    const double perFrame = state.iterations() > 0 ? cpu / double(state.iterations()) : 0.0;
    state.counters["period_ms"] = period * 1e3;
    state.counters["fps"] = 1.0 / period;
    state.counters["core_%"] = 100.0 * perFrame / period;
    state.counters["colour"] = isColour(model) ? 1 : 0;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(decodedBytes(model)));
}

using FramePathFn = void (*)(CameraRecord &, uint8_t *, uint8_t *);

void decodeInStrips(CameraRecord &record, uint8_t *raw, uint8_t *slot) {
    qor::stream::decodeFrame(record, raw, slot);
}

void framePath(benchmark::State &state, const Model &model, FramePathFn decode) {
    FrameSetup frame(model);
    // One untimed frame first: the kernel dispatch is chosen and the slot's pages are warm.
    decode(*frame.record, frame.raw.get(), frame.slot.get());
    const double start = threadCpuSeconds();
    for (auto _ : state) {
        decode(*frame.record, frame.raw.get(), frame.slot.get());
        benchmark::DoNotOptimize(frame.slot.get());
        benchmark::ClobberMemory();
    }
    setFrameCounters(state, model, threadCpuSeconds() - start);
}

void frameCopy(benchmark::State &state, const Model &model) {
    const size_t bytes = decodedBytes(model);
    Buffer source = pageAligned(bytes), destination = pageAligned(bytes);
    std::memset(source.get(), 0x5A, bytes);
    const double start = threadCpuSeconds();
    for (auto _ : state) {
        std::memcpy(destination.get(), source.get(), bytes);
        benchmark::DoNotOptimize(destination.get());
        benchmark::ClobberMemory();
    }
    setFrameCounters(state, model, threadCpuSeconds() - start);
}

// The stages of the frame path, each on its own, for one model. The record's settings are the
// ones decodeFrame reads, so the stages sum to the path but for the settings read.
enum class Stage { FlipHorizontal, FlipVertical, Decode, Matrix, Mark };

void frameStage(benchmark::State &state, const Model &model, Stage stage) {
    FrameSetup frame(model);
    CameraRecord &r = *frame.record;
    uint8_t *raw = frame.raw.get();
    uint8_t *slot = frame.slot.get();
    auto *pixels = reinterpret_cast<uint32_t *>(slot);
    const int32_t mosaic = r.bayerPattern != 0;
    qor::stream::decodeFrame(r, raw, slot);
    const double start = threadCpuSeconds();
    for (auto _ : state) {
        switch (stage) {
        case Stage::FlipHorizontal:
            QORAFlipHorizontalImage8Bit(raw, r.rawWidth, r.rawHeight, mosaic);
            break;
        case Stage::FlipVertical:
            QORAFlipVerticalImage8Bit(raw, r.lineBuffer, r.rawWidth, r.rawHeight, mosaic);
            break;
        case Stage::Decode:
            QORRAWImageDecodeToImageBuffer(raw, slot, r.bayerPattern, r.decodeMethod,
                                           r.outputFormat, r.destRowBytes, r.rawWidth, r.rawHeight);
            break;
        case Stage::Matrix:
            QORAApplyRGBMatrixToRGBImage(pixels, r.colorMatrix, int32_t(r.outputFormat),
                                         int32_t(r.destRowBytes), r.rawWidth, int32_t(r.rawHeight));
            break;
        case Stage::Mark:
            QORARedSaturateRGBImage(pixels, int32_t(r.outputFormat), int32_t(r.destRowBytes),
                                    r.rawWidth, int32_t(r.rawHeight));
            break;
        }
        benchmark::DoNotOptimize(slot);
        benchmark::DoNotOptimize(raw);
        benchmark::ClobberMemory();
    }
    setFrameCounters(state, model, threadCpuSeconds() - start);
}

// "<group>/<product id>/<width>x<height>", then "/<stage>" when a stage is named.
std::string benchmarkName(const char *group, const Model &model, const char *stage = nullptr) {
    char text[96];
    std::snprintf(text, sizeof text, "%s/%04X/%ux%u%s%s", group, unsigned(model.productID),
                  unsigned(model.width), unsigned(model.height), stage ? "/" : "",
                  stage ? stage : "");
    return text;
}

template <typename Fn> void registerFrameBenchmark(const std::string &name, Fn fn) {
    benchmark::RegisterBenchmark(name.c_str(), fn)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(kMinSeconds);
}

} // namespace

namespace qor::bench {

// Called by main before the run. Not a static registration: the model table must not be built
// before the library's own globals (the vendor ids) are initialised.
void registerFramePathBenchmarks() {
    std::vector<Model> models;
    for (const qor::sim::ModelProfile &profile : qor::sim::modelProfiles())
        if (!profile.dataRates.empty()) models.push_back(modelFrom(profile));
    std::sort(models.begin(), models.end(),
              [](const Model &a, const Model &b) { return a.productID < b.productID; });

    for (const Model &model : models) {
        registerFrameBenchmark(benchmarkName("frame_copy", model),
                               [model](benchmark::State &state) { frameCopy(state, model); });
        registerFrameBenchmark(benchmarkName("frame_path", model), [model](benchmark::State &s) {
            framePath(s, model, decodeInStrips);
        });
        registerFrameBenchmark(benchmarkName("frame_stages", model), [model](benchmark::State &s) {
            framePath(s, model, qor::stream::decodeFrameByStages);
        });
    }

    // The colour model that streams the most pixels a second (the largest frame on a tie).
    const Model *busiest = nullptr;
    for (const Model &model : models) {
        if (!isColour(model)) continue;
        if (!busiest || model.highestKB > busiest->highestKB ||
            (model.highestKB == busiest->highestKB && pixelCount(model) > pixelCount(*busiest)))
            busiest = &model;
    }
    if (busiest) {
        const Model model = *busiest;
        const std::pair<const char *, Stage> stages[] = {
            {"1_flip_horizontal", Stage::FlipHorizontal},
            {"2_flip_vertical", Stage::FlipVertical},
            {"3_decode", Stage::Decode},
            {"4_matrix", Stage::Matrix},
            {"5_mark", Stage::Mark},
        };
        for (const auto &entry : stages) {
            const Stage stage = entry.second;
            registerFrameBenchmark(
                benchmarkName("frame_stage", model, entry.first),
                [model, stage](benchmark::State &state) { frameStage(state, model, stage); });
        }
    }
}

} // namespace qor::bench
