// The frame path a strip of rows at a time against the stages one after the other over the
// whole frame: every byte of the slot, row padding included, must be the same. Full frames of
// every model, and small frames with strip boundaries in every place.
#include "camera/image_formats.h"
#include "imaging/simd_levels.h"
#include "sim/models.h"
#include "stream/stream_internal.h"

#include <qorvanta/imaging.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace qor::test {
namespace {

// flipHorizontal, flipVertical, decodeMethod, outputFormat, matrix, mark, raw output.
struct Options {
    bool flipH = false, flipV = false;
    uint32_t method = 1, layout = 1;
    bool matrix = false, mark = false, raw = false;
};

::testing::Message describe(const Options &o) {
    return ::testing::Message() << "flips " << o.flipH << o.flipV << " method " << o.method
                                << " layout " << o.layout << " matrix " << o.matrix << " mark "
                                << o.mark << " raw " << o.raw;
}

// A record set up as the completion routine sees it, with a raw frame that has detail in every
// channel and clipped patches, so that the mark and the matrix's clamps have work to do.
class TestFrame {
public:
    TestFrame(uint32_t width, uint32_t height, uint32_t bayerPattern, uint32_t padding = 0)
        : record_(std::make_unique<CameraRecord>()), raw_(size_t(width) * height),
          line_(width + 16) {
        CameraRecord &r = *record_;
        const bool colour = bayerPattern != 0;
        r.rawWidth = width;
        r.rawHeight = height;
        r.rawFrameBytes = width * height;
        r.destRowBytes = (colour ? 4 * width : width) + padding;
        r.bayerPattern = bayerPattern;
        r.colorSensor = colour ? 1 : 0;
        r.lineBuffer = line_.data();
        // The strongest calibrated matrix: large negative terms clamp at 0, large ones at 255.
        QORAGetBaseRGBCorrectionMatrix(r.colorMatrix, 163, 2);
        std::mt19937 rng(width * 7919u + height * 31u + bayerPattern);
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
                raw_[size_t(y) * width + x] =
                    (x / 5 + y / 3) % 4 == 0 ? uint8_t(236 + rng() % 20) : uint8_t(rng());
    }

    void set(const Options &o) {
        CameraRecord &r = *record_;
        r.flipHorizontal = o.flipH;
        r.flipVertical = o.flipV;
        r.decodeMethod = o.method;
        r.outputFormat = o.layout;
        r.colorMatrixIndex = o.matrix ? 2 : 0;
        r.saturationMarkOn = o.mark;
        r.rawFrameOutput = o.raw;
    }

    // A whole slot, padding and all, starting from the same bytes for both paths.
    std::vector<uint8_t> byStages() {
        std::vector<uint8_t> raw = raw_, slot = emptySlot();
        stream::decodeFrameByStages(*record_, raw.data(), slot.data());
        return slot;
    }

    std::vector<uint8_t> inStrips(uint32_t stripRows = 0) {
        std::vector<uint8_t> raw = raw_, slot = emptySlot();
        stream::decodeFrame(*record_, raw.data(), slot.data(), stripRows);
        return slot;
    }

    CameraRecord &record() { return *record_; }

private:
    std::vector<uint8_t> emptySlot() const {
        return std::vector<uint8_t>(size_t(record_->destRowBytes) * record_->rawHeight, 0xA5);
    }

    std::unique_ptr<CameraRecord> record_;
    std::vector<uint8_t> raw_, line_;
};

// The first index where two slots differ, as a row and a byte of it, for the failure message.
::testing::AssertionResult sameSlot(const std::vector<uint8_t> &expected,
                                    const std::vector<uint8_t> &actual, uint32_t rowBytes) {
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure()
               << "sizes " << expected.size() << " and " << actual.size();
    for (size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] != actual[i])
            return ::testing::AssertionFailure()
                   << "first difference in row " << i / rowBytes << " byte " << i % rowBytes << ": "
                   << int(expected[i]) << " by stages, " << int(actual[i]) << " in strips";
    }
    return ::testing::AssertionSuccess();
}

// Every combination of the settings the frame path reads.
std::vector<Options> everyOption() {
    std::vector<Options> all;
    for (int n = 0; n < 128; ++n) {
        Options o;
        o.flipH = n & 1;
        o.flipV = n & 2;
        o.method = (n >> 2) & 1;
        o.layout = (n >> 3) & 1;
        o.matrix = n & 16;
        o.mark = n & 32;
        o.raw = n & 64;
        all.push_back(o);
    }
    return all;
}

// Small frames of every mosaic phase and grey, at every vector level, with strips of two rows
// and up: boundaries at every even row, a bottom row joined to the strip before it, frames
// narrower than a vector step and one pixel high or wide. A slot wider than its pixels keeps
// its padding untouched on both paths.
TEST(FramePath, StripsEqualTheStagesOnSmallFrames) {
    const uint32_t sizes[][2] = {{1, 1},  {2, 2},  {3, 3},  {1, 6},   {7, 1},   {5, 4},   {17, 3},
                                 {18, 7}, {34, 9}, {35, 6}, {67, 13}, {100, 5}, {130, 11}};
    const std::vector<Options> options = everyOption();
    imaging::testing::forEachSimdLevel([&] {
        for (const auto &size : sizes) {
            for (uint32_t pattern = 0; pattern <= 4; ++pattern) {
                TestFrame frame(size[0], size[1], pattern, size[0] % 3 == 0 ? 12 : 0);
                for (const Options &o : options) {
                    frame.set(o);
                    const std::vector<uint8_t> expected = frame.byStages();
                    for (uint32_t strip : {2u, 4u, 6u, 0u}) {
                        SCOPED_TRACE(describe(o) << " size " << size[0] << "x" << size[1]
                                                 << " pattern " << pattern << " strip " << strip);
                        ASSERT_TRUE(
                            sameSlot(expected, frame.inStrips(strip), frame.record().destRowBytes));
                    }
                }
            }
        }
    });
}

// Full frames of every simulated model, in its own mosaic phase, with the strips the path
// chooses for its width. Each flip combination once, the methods and layouts across them.
class FramePathModels : public ::testing::TestWithParam<size_t> {};

TEST_P(FramePathModels, StripsEqualTheStagesOnFullFrames) {
    const auto models = sim::modelProfiles();
    ASSERT_LT(GetParam(), models.size());
    const sim::ModelProfile &model = models[GetParam()];
    const auto format = camera::sensorFormatForCode(model.sensorCode);
    ASSERT_TRUE(format.has_value());
    TestFrame frame(model.sensorWidth, model.sensorHeight, format->formatClass);
    for (int n = 0; n < 4; ++n) {
        Options o;
        o.flipH = n & 1;
        o.flipV = n & 2;
        o.method = n == 1 || n == 2 ? 0 : 1;
        o.layout = n < 2 ? 1 : 0;
        o.matrix = o.mark = format->color;
        frame.set(o);
        SCOPED_TRACE(describe(o) << " model " << model.productName);
        EXPECT_TRUE(sameSlot(frame.byStages(), frame.inStrips(), frame.record().destRowBytes));
    }
}

std::vector<size_t> modelIndices() {
    std::vector<size_t> indices(sim::modelProfiles().size());
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = i;
    return indices;
}

INSTANTIATE_TEST_SUITE_P(EveryModel, FramePathModels, ::testing::ValuesIn(modelIndices()));

} // namespace
} // namespace qor::test
