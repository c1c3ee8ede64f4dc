// The frame path's raw layout: a client that asks for it gets each frame as the sensor sent it,
// flipped as the record says and packed into the front of the ring's slot, with no decoding.
#include "stream/streaming_camera.h"

#include <qorvanta/stream.h>

namespace qor::test {
namespace {

using RawFrameOutput = SimTest;

// The frames the camera sent whole, in order.
std::vector<std::vector<uint8_t>> framesSent(const StreamingCamera &cam) {
    std::vector<std::vector<uint8_t>> frames;
    for (const sim::Transfer &t : cam.sim().transferLog())
        if (t.kind == sim::Transfer::Kind::AsyncBulkIn && t.result == 0 &&
            t.data.size() == cam.record().rawFrameBytes)
            frames.push_back(t.data);
    return frames;
}

TEST_F(RawFrameOutput, SlotsHoldTheFlippedRawFramesUndecoded) {
    for (uint16_t model : {kColourModel, kMonoModel}) {
        SCOPED_TRACE(model);
        StreamingCamera cam(model, 50000);
        CameraRecord &r = cam.record();
        r.flipHorizontal = r.flipVertical = 1;
        r.saturationMarkOn = 1;
        ASSERT_EQ(QORASetRawFrameOutput(cam.handle(), 1), 0);
        ASSERT_EQ(QORACameraStartVideo(cam.handle(), 1), 0);
        ASSERT_TRUE(eventually([&] { return load(r.framesReady) >= 3; }));
        QORACameraStopVideo(cam.handle(), 0);

        const std::vector<std::vector<uint8_t>> frames = framesSent(cam);
        const uint32_t w = r.rawWidth, h = r.rawHeight;
        ASSERT_EQ(r.framesOverwritten, 0u);
        ASSERT_NE(r.lastFilledSlot, kNoSlot);
        ASSERT_GE(frames.size(), r.lastFilledSlot + 1);
        std::vector<uint8_t> line(w);
        for (uint32_t i = 0; i <= r.lastFilledSlot; ++i) {
            std::vector<uint8_t> raw = frames[i];
            QORAFlipHorizontalImage8Bit(raw.data(), w, h, r.bayerPattern != 0);
            QORAFlipVerticalImage8Bit(raw.data(), line.data(), w, h, r.bayerPattern != 0);
            const std::vector<uint8_t> &slot = cam.slot(i);
            EXPECT_TRUE(std::equal(raw.begin(), raw.end(), slot.begin())) << "slot " << i;
            // Beyond the raw frame the slot is as it was.
            EXPECT_TRUE(std::all_of(slot.begin() + long(raw.size()), slot.end(),
                                    [](uint8_t b) { return b == 0; }))
                << "slot " << i;
        }
    }
}

TEST_F(RawFrameOutput, IsOffUntilAskedForAndRefusesBadInputUnchanged) {
    EXPECT_EQ(QORASetRawFrameOutput(nullptr, 1), kIOReturnNoDevice);
    OpenCamera cam(runningCamera(kColourModel));
    CameraRecord &r = cam.record();
    EXPECT_EQ(r.rawFrameOutput, 0);
    EXPECT_EQ(QORASetRawFrameOutput(cam.handle(), 2), paramErr);
    EXPECT_EQ(r.rawFrameOutput, 0);
    EXPECT_EQ(QORASetRawFrameOutput(cam.handle(), 1), 0);
    EXPECT_EQ(r.rawFrameOutput, 1);
    EXPECT_EQ(QORASetRawFrameOutput(cam.handle(), 255), paramErr);
    EXPECT_EQ(r.rawFrameOutput, 1);
    EXPECT_EQ(QORASetRawFrameOutput(cam.handle(), 0), 0);
    EXPECT_EQ(r.rawFrameOutput, 0);
}

} // namespace
} // namespace qor::test
