// Demosaic of an RGGB frame into 32-bit pixels, ours against OpenCV's bilinear Bayer
// conversion on one thread. Both write four bytes a pixel from the same random mosaic.

#include "ratio.h"

#include <qorvanta/imaging.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kRggb = 1, kArgb = 1;

std::vector<uint8_t> randomMosaic(int width, int height) {
    std::mt19937 rng(uint32_t(width) * 7919u + uint32_t(height));
    std::vector<uint8_t> mosaic(size_t(width) * height);
    for (uint8_t &v : mosaic) v = uint8_t(rng());
    return mosaic;
}

void decodeOurs(benchmark::State &state, int width, int height, uint32_t method) {
    const std::vector<uint8_t> source = randomMosaic(width, height);
    std::vector<uint8_t> destination(size_t(width) * height * 4, 0x55);
    for (auto _ : state) {
        QORRAWImageDecodeToImageBuffer(source.data(), destination.data(), kRggb, method, kArgb,
                                       uint32_t(width) * 4, uint32_t(width), uint32_t(height));
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
}

void decodeOpenCv(benchmark::State &state, int width, int height) {
    cv::setNumThreads(1);
    std::vector<uint8_t> mosaic = randomMosaic(width, height);
    const cv::Mat source(height, width, CV_8UC1, mosaic.data());
    cv::Mat destination(height, width, CV_8UC4, cv::Scalar::all(0x55));
    for (auto _ : state) {
        cv::cvtColor(source, destination, cv::COLOR_BayerRGGB2BGRA);
        benchmark::DoNotOptimize(destination.data);
        benchmark::ClobberMemory();
    }
}

const bool registered = [] {
    qor::bench::registerPerSize("demosaic_interpolating", "ours",
                                [](benchmark::State &state, int width, int height) {
                                    decodeOurs(state, width, height, 1);
                                });
    qor::bench::registerPerSize("demosaic_interpolating", "opencv", decodeOpenCv);
    qor::bench::registerPerSize("demosaic_block", "ours",
                                [](benchmark::State &state, int width, int height) {
                                    decodeOurs(state, width, height, 0);
                                });
    qor::bench::registerPerSize("demosaic_block", "opencv", decodeOpenCv);
    return true;
}();

} // namespace
