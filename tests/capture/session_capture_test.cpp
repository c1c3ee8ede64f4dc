// Captures through the session: frames in record and preview mode with their sequence, time
// stamps, geometry and settings; the driver's loss counters; an unplug while capturing; and raw
// mosaic frames that decode to exactly what the digitizer delivers decoded.
#include "capture/session_fixture.h"

#include <qorvanta/imaging.h>
#include <qorvanta/status.h>

#include <cmath>
#include <cstring>
#include <map>
#include <thread>

namespace qor::test {
namespace {

using SessionCapture = SessionTest;

void expectFramesInOrder(const std::vector<capture::FramePtr> &frames) {
    for (size_t i = 0; i < frames.size(); ++i) {
        const capture::FrameInfo &f = frames[i]->info;
        EXPECT_EQ(f.sequence, i);
        EXPECT_EQ(frames[i]->pixels.size(), size_t(f.geometry.rowBytes) * f.geometry.height);
        if (i == 0) continue;
        const capture::FrameInfo &before = frames[i - 1]->info;
        EXPECT_GT(f.digitizerSeconds, before.digitizerSeconds) << i;
        EXPECT_GE(f.utc, before.utc) << i;
    }
}

TEST_F(SessionCapture, RecordAndPreviewDeliverFramesWithTheirMetadata) {
    openOne(runningCamera(kSmallColourModel, "R1"));
    if (HasFatalFailure()) return;
    ASSERT_EQ(camera->apply({{"exposure", "5"}, {"gain", "0.02"}, {"flip-v", "on"}}), "");
    for (bool record : {true, false}) {
        SCOPED_TRACE(record ? "record" : "preview");
        const auto before = std::chrono::system_clock::now();
        capture::CaptureOptions options;
        options.record = record;
        const std::vector<capture::FramePtr> frames = captureFrames(options, 4);
        ASSERT_GE(frames.size(), 4u);
        expectFramesInOrder(frames);
        EXPECT_EQ(camera->delivered(), frames.size());
        const capture::StreamFormat format = camera->format();
        EXPECT_EQ(format.geometry.width, 640u);
        EXPECT_EQ(format.geometry.height, 480u);
        EXPECT_EQ(format.geometry.rowBytes, 4 * 640u);
        EXPECT_EQ(format.layout, capture::PixelLayout::ARGB);
        EXPECT_EQ(format.mosaic, camera->info().mosaic);
        EXPECT_GT(format.framesPerSecond, 0);
        const capture::FrameInfo &f = frames.front()->info;
        EXPECT_GE(f.utc, before);
        EXPECT_EQ(f.geometry.width, format.geometry.width);
        EXPECT_EQ(f.geometry.binX, 1u);
        EXPECT_EQ(f.layout, capture::PixelLayout::ARGB);
        EXPECT_DOUBLE_EQ(f.settings.exposureMs, 5.0);
        EXPECT_DOUBLE_EQ(f.settings.gain, 0.02);
        EXPECT_TRUE(f.settings.flipVertical);
        EXPECT_FALSE(f.settings.flipHorizontal);
        // Decoded colour is opaque ARGB.
        for (size_t i = 0; i < 64; i += 4) EXPECT_EQ(frames.front()->pixels[i], 0xFF);
        EXPECT_FALSE(camera->capturing());
    }
}

TEST_F(SessionCapture, SettingsChangedBetweenCapturesStampTheNextFrames) {
    openOne(runningCamera(kSmallMonoModel, "G1"));
    if (HasFatalFailure()) return;
    std::vector<capture::FramePtr> frames = captureFrames({}, 2);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0]->info.layout, capture::PixelLayout::Grey);
    EXPECT_EQ(frames[0]->info.geometry.rowBytes, 640u);
    EXPECT_TRUE(std::isnan(frames[0]->info.settings.redGain));
    ASSERT_EQ(camera->apply({{"gain", "0.05"}, {"flip-h", "on"}}), "");
    frames = captureFrames({}, 2);
    ASSERT_FALSE(frames.empty());
    EXPECT_DOUBLE_EQ(frames[0]->info.settings.gain, 0.05);
    EXPECT_TRUE(frames[0]->info.settings.flipHorizontal);
    EXPECT_EQ(frames[0]->info.sequence, 0u); // counted from each start
}

TEST_F(SessionCapture, DropCountersCountFromTheStart) {
    openOne(runningCamera(kSmallMonoModel, "D1"));
    if (HasFatalFailure()) return;
    uint64_t handed = 0;
    ASSERT_EQ(camera->start({}, [&](capture::FramePtr) { ++handed; }), 0);
    // Not taking frames: the driver's ring fills, and further frames overwrite the last slot.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (camera->drops().overwritten < 3 && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(camera->drops().overwritten, 3u);
    EXPECT_EQ(camera->drops().lostInTransfer, 0u);
    EXPECT_EQ(camera->poll(1.0), 0);
    EXPECT_GT(handed, 0u);
    camera->stop();
    EXPECT_GE(camera->drops().overwritten, 3u); // still readable after the stop

    // A new capture counts from its own start; a read that comes short loses its frame.
    const uint64_t overwrittenBefore = camera->drops().overwritten;
    ASSERT_EQ(camera->start({}, [&](capture::FramePtr) { ++handed; }), 0);
    EXPECT_LT(camera->drops().overwritten, overwrittenBefore);
    sims[0]->shortBulk(0x86, 1000);
    for (int polls = 0; camera->drops().lostInTransfer == 0 && polls < 200; ++polls)
        ASSERT_EQ(camera->poll(0.1), 0);
    EXPECT_EQ(camera->drops().lostInTransfer, 1u);
    camera->stop();
}

TEST_F(SessionCapture, UnplugEndsTheCaptureWithNoDevice) {
    openOne(runningCamera(kSmallMonoModel, "U1"));
    if (HasFatalFailure()) return;
    uint64_t handed = 0;
    ASSERT_EQ(camera->start({}, [&](capture::FramePtr) { ++handed; }), 0);
    ASSERT_EQ(camera->poll(5.0), 0);
    ASSERT_GT(handed, 0u);
    sims[0]->unplug();
    int32_t status = 0;
    for (int polls = 0; status == 0 && polls < 100; ++polls) status = camera->poll(0.1);
    EXPECT_EQ(status, kIOReturnNoDevice) << capture::statusText(status);
    EXPECT_FALSE(camera->capturing());
    EXPECT_EQ(camera->poll(0.1), kIOReturnNoDevice);
    const uint64_t after = handed;
    camera->stop();
    EXPECT_EQ(handed, after);
}

TEST_F(SessionCapture, StartRefusesWhatItCannotDo) {
    openOne(runningCamera(kSmallMonoModel, "B1"));
    if (HasFatalFailure()) return;
    capture::CaptureOptions options;
    options.rate = -1;
    EXPECT_EQ(camera->start(options, [](capture::FramePtr) {}), paramErr);
    EXPECT_EQ(camera->start({}, nullptr), paramErr);
    EXPECT_FALSE(camera->capturing());
    EXPECT_NE(camera->poll(0.01), 0);
    ASSERT_EQ(camera->start({}, [](capture::FramePtr) {}), 0);
    EXPECT_NE(camera->start({}, [](capture::FramePtr) {}), 0);
    EXPECT_TRUE(camera->capturing());
}

// The frame path's decode of a raw frame: demosaic, colour matrix, saturation mark.
std::vector<uint8_t> decodeAsTheFramePathDoes(const capture::Frame &raw, uint16_t productID,
                                              uint16_t matrixIndex, bool interpolate) {
    const capture::FrameGeometry &g = raw.info.geometry;
    const uint32_t rowBytes = 4 * g.width;
    std::vector<uint8_t> out(size_t(rowBytes) * g.height);
    QORRAWImageDecodeToImageBuffer(raw.pixels.data(), out.data(), uint32_t(raw.info.mosaic),
                                   interpolate ? 1 : 0, 1, rowBytes, g.width, g.height);
    float matrix[9];
    QORAGetBaseRGBCorrectionMatrix(matrix, productID, matrixIndex);
    QORAApplyHueSatCorrectionToMatrix(matrix, 0.0f, 1.0f); // the page's neutral adjustments
    auto *pixels = reinterpret_cast<uint32_t *>(out.data());
    QORAApplyRGBMatrixToRGBImage(pixels, matrix, 1, int32_t(rowBytes), g.width, int32_t(g.height));
    QORARedSaturateRGBImage(pixels, 1, int32_t(rowBytes), g.width, int32_t(g.height));
    return out;
}

TEST_F(SessionCapture, RawMosaicFramesDecodeToTheDecodedCaptureOfTheSameScene) {
    sim::CameraOptions still = runningCamera(kSmallColourModel, "RAW1");
    still.stillScene = true;
    openOne(still);
    if (HasFatalFailure()) return;
    // Both flips: the mosaic flips keep the phase, which the raw frames report.
    ASSERT_EQ(camera->apply({{"flip-h", "on"},
                             {"flip-v", "on"},
                             {"matrix", "2"},
                             {"mark", "on"},
                             {"decode", "interpolated"}}),
              "");
    std::string error;
    std::map<std::string, std::string> page;
    for (const auto &[name, value] : camera->readSettings(&error)) page[name] = value;
    ASSERT_EQ(page["hue"], "0");
    ASSERT_EQ(page["saturation"], "0");

    const std::vector<capture::FramePtr> decoded = captureFrames({}, 3);
    capture::CaptureOptions rawOptions;
    rawOptions.rawMosaic = true;
    const std::vector<capture::FramePtr> raw = captureFrames(rawOptions, 3);
    ASSERT_GE(decoded.size(), 3u);
    ASSERT_GE(raw.size(), 3u);

    const capture::StreamFormat format = camera->format();
    EXPECT_EQ(format.layout, capture::PixelLayout::Mosaic);
    EXPECT_EQ(format.mosaic, camera->info().mosaic);
    EXPECT_EQ(format.geometry.rowBytes, format.geometry.width);
    expectFramesInOrder(raw);
    // The sensor's frame, after both flips.
    std::vector<uint8_t> sensor = sims[0]->renderFrame();
    QORAFlipHorizontalImage8Bit(sensor.data(), 640, 480, 1);
    std::vector<uint8_t> scratch(640);
    QORAFlipVerticalImage8Bit(sensor.data(), scratch.data(), 640, 480, 1);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const capture::Frame &r = *raw[i];
        EXPECT_EQ(r.info.layout, capture::PixelLayout::Mosaic);
        EXPECT_EQ(r.info.mosaic, camera->info().mosaic);
        ASSERT_EQ(r.pixels.size(), 640u * 480u);
        EXPECT_TRUE(r.pixels == sensor);
        const std::vector<uint8_t> ours =
            decodeAsTheFramePathDoes(r, camera->info().productID, 2, true);
        EXPECT_TRUE(ours == decoded[i]->pixels);
    }

    // The raw layout was this capture's only: the next one is decoded again.
    const std::vector<capture::FramePtr> again = captureFrames({}, 1);
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again[0]->info.layout, capture::PixelLayout::ARGB);
    EXPECT_TRUE(again[0]->pixels == decoded[0]->pixels);
}

TEST_F(SessionCapture, RawFramesOfAMonochromeCameraAreItsGreyFrames) {
    sim::CameraOptions still = runningCamera(kSmallMonoModel, "RAW2");
    still.stillScene = true;
    openOne(still);
    if (HasFatalFailure()) return;
    const std::vector<capture::FramePtr> decoded = captureFrames({}, 2);
    capture::CaptureOptions rawOptions;
    rawOptions.rawMosaic = true;
    const std::vector<capture::FramePtr> raw = captureFrames(rawOptions, 2);
    ASSERT_FALSE(decoded.empty());
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw[0]->info.layout, capture::PixelLayout::Grey);
    EXPECT_EQ(raw[0]->info.mosaic, capture::MosaicPhase::None);
    EXPECT_TRUE(raw[0]->pixels == decoded[0]->pixels);
}

} // namespace
} // namespace qor::test
