// Benchmarks come in pairs, ours and OpenCV's doing the same work on the same pixels, named
// "<operation>/<ours|opencv>/<width>x<height>". They report pixels processed as items, so each
// result reads as Mpix/s, and the run ends with a table of ours/OpenCV per operation and size.
#pragma once

#include <benchmark/benchmark.h>

#include <string>

namespace qor::bench {

struct FrameSize {
    int width;
    int height;
};

inline constexpr FrameSize kFrameSizes[] = {{640, 480}, {1280, 1024}, {3840, 3072}};

// Registers fn(state, width, height) once per frame size under "<operation>/<side>/<WxH>".
template <typename Fn> void registerPerSize(const std::string &operation, const char *side, Fn fn) {
    for (FrameSize size : kFrameSizes) {
        std::string name = operation + "/" + side + "/" + std::to_string(size.width) + "x" +
                           std::to_string(size.height);
        benchmark::RegisterBenchmark(name.c_str(), [fn, size](benchmark::State &state) {
            fn(state, size.width, size.height);
            state.SetItemsProcessed(state.iterations() * int64_t(size.width) * size.height);
        })->Unit(benchmark::kMicrosecond);
    }
}

} // namespace qor::bench
