// Per-frame colour and flip operations against OpenCV on the same pixels, single-threaded:
//   color_matrix     ours on A,R,G,B pixels in place; cv::transform with a 3x3 CV_32F matrix
//                    from CV_8UC3 to CV_8UC3 (its fast path, three bytes a pixel each way).
//   saturation_mark  ours in place; cv::inRange on the same CV_8UC4 pixels into a mask, then
//                    setTo(opaque red, mask): the same test and the same writes.
//   flip_vertical    ours with the mosaic flag (the colour-camera path); cv::flip code 0, in place.
//   flip_horizontal  likewise; cv::flip code 1, in place. Both on a CV_8UC1 frame.

#include "ratio.h"

#include <qorvanta/imaging.h>

#include <opencv2/core.hpp>

#include <array>
#include <cstring>
#include <random>
#include <vector>

namespace {

using qor::bench::registerPerSize;

// A decoded A,R,G,B frame with about one pixel in eight close to white.
std::vector<uint32_t> colourFrame(int width, int height) {
    std::mt19937 rng(17);
    std::vector<uint32_t> frame(size_t(width) * height);
    for (uint32_t &px : frame) px = (rng() % 8 == 0 ? (rng() | 0xE8E8E800u) : rng()) | 0xFFu;
    return frame;
}

std::vector<uint8_t> rawFrame(int width, int height) {
    std::mt19937 rng(23);
    std::vector<uint8_t> frame(size_t(width) * height);
    for (uint8_t &v : frame) v = uint8_t(rng());
    return frame;
}

// A realistic matrix: a calibrated one with the user's hue and saturation applied.
std::array<float, 9> benchMatrix() {
    std::array<float, 9> m;
    QORAGetBaseRGBCorrectionMatrix(m.data(), 161, 3);
    QORAApplyHueSatCorrectionToMatrix(m.data(), 10.0f, 1.2f);
    return m;
}

void oursColorMatrix(benchmark::State &state, int width, int height) {
    std::vector<uint32_t> frame = colourFrame(width, height);
    const std::array<float, 9> m = benchMatrix();
    for (auto _ : state) {
        QORAApplyRGBMatrixToRGBImage(frame.data(), m.data(), 1, width * 4, uint32_t(width), height);
        benchmark::ClobberMemory();
    }
}

void opencvColorMatrix(benchmark::State &state, int width, int height) {
    cv::setNumThreads(1);
    const std::vector<uint32_t> frame = colourFrame(width, height);
    cv::Mat source(height, width, CV_8UC3), destination(height, width, CV_8UC3);
    for (size_t n = 0; n < frame.size(); ++n) // the R, G, B bytes of each A,R,G,B pixel
        std::memcpy(source.data + n * 3, reinterpret_cast<const uint8_t *>(&frame[n]) + 1, 3);
    std::array<float, 9> m = benchMatrix();
    const cv::Mat matrix(3, 3, CV_32F, m.data());
    for (auto _ : state) {
        cv::transform(source, destination, matrix);
        benchmark::ClobberMemory();
    }
}

void oursSaturationMark(benchmark::State &state, int width, int height) {
    std::vector<uint32_t> frame = colourFrame(width, height);
    for (auto _ : state) {
        QORARedSaturateRGBImage(frame.data(), 1, width * 4, uint32_t(width), height);
        benchmark::ClobberMemory();
    }
}

void opencvSaturationMark(benchmark::State &state, int width, int height) {
    cv::setNumThreads(1);
    std::vector<uint32_t> frame = colourFrame(width, height);
    cv::Mat pixels(height, width, CV_8UC4, frame.data()), mask(height, width, CV_8UC1);
    for (auto _ : state) { // channels in memory order A, R, G, B
        cv::inRange(pixels, cv::Scalar(0, 240, 240, 240), cv::Scalar(255, 255, 255, 255), mask);
        pixels.setTo(cv::Scalar(255, 255, 0, 0), mask);
        benchmark::ClobberMemory();
    }
}

template <bool Vertical> void oursFlip(benchmark::State &state, int width, int height) {
    std::vector<uint8_t> frame = rawFrame(width, height), scratch(width);
    for (auto _ : state) {
        if (Vertical)
            QORAFlipVerticalImage8Bit(frame.data(), scratch.data(), uint32_t(width),
                                      uint32_t(height), 1);
        else
            QORAFlipHorizontalImage8Bit(frame.data(), uint32_t(width), uint32_t(height), 1);
        benchmark::ClobberMemory();
    }
}

template <bool Vertical> void opencvFlip(benchmark::State &state, int width, int height) {
    cv::setNumThreads(1);
    std::vector<uint8_t> frame = rawFrame(width, height);
    cv::Mat image(height, width, CV_8UC1, frame.data());
    for (auto _ : state) {
        cv::flip(image, image, Vertical ? 0 : 1);
        benchmark::ClobberMemory();
    }
}

const bool registered = [] {
    registerPerSize("color_matrix", "ours", oursColorMatrix);
    registerPerSize("color_matrix", "opencv", opencvColorMatrix);
    registerPerSize("saturation_mark", "ours", oursSaturationMark);
    registerPerSize("saturation_mark", "opencv", opencvSaturationMark);
    registerPerSize("flip_vertical", "ours", oursFlip<true>);
    registerPerSize("flip_vertical", "opencv", opencvFlip<true>);
    registerPerSize("flip_horizontal", "ours", oursFlip<false>);
    registerPerSize("flip_horizontal", "opencv", opencvFlip<false>);
    return true;
}();

} // namespace
