// The frame path: the ring filled by arriving frames, and each decoded frame equal to what the
// imaging operations make of the raw frame the camera sent.
#include "stream/streaming_camera.h"

#include "stream/stream_internal.h"

#include <cstring>

namespace qor::test {
namespace {

using FrameAssembly = SimTest;

TEST_F(FrameAssembly, RingFillsToNineThenOverwritesTheSlotBeforeReadSlot) {
    StreamingCamera cam(kMonoModel, 2000);
    CameraRecord &r = cam.record();
    ASSERT_EQ(QORACameraStartVideo(cam.handle(), 1), 0);
    ASSERT_TRUE(eventually([&] { return load(r.framesOverwritten) >= 2; }));
    QORACameraStopVideo(cam.handle(), 0);
    EXPECT_EQ(r.framesReady, 9u);
    EXPECT_EQ(r.readSlot, 0u);
    EXPECT_EQ(r.writeSlot, 9u);
    EXPECT_EQ(r.lastFilledSlot, 8u);
    EXPECT_EQ(r.slotFrameMs[0], 0.0);
    for (int i = 1; i < kFrameSlotCount; ++i) EXPECT_GT(r.slotFrameMs[i], r.slotFrameMs[i - 1]);
    EXPECT_EQ(r.framesUnrequested + r.framesLostInTransfer, 0u);
}

// flipHorizontal, flipVertical, decodeMethod, outputFormat, colorMatrixIndex, saturationMarkOn;
// a monochrome frame ignores the matrix and the mark, which would write 32-bit pixels.
using Settings = std::array<uint8_t, 6>;
class FrameAssemblyDecode
    : public SimTest,
      public ::testing::WithParamInterface<std::tuple<uint16_t, uint32_t, Settings>> {};

TEST_P(FrameAssemblyDecode, SlotsHoldTheDecodeOfTheFramesSent) {
    const auto [model, padding, s] = GetParam();
    StreamingCamera cam(model, 20000, padding);
    CameraRecord &r = cam.record();
    r.flipHorizontal = s[0];
    r.flipVertical = s[1];
    r.decodeMethod = s[2];
    r.outputFormat = s[3];
    r.colorMatrixIndex = s[4];
    r.saturationMarkOn = s[5];
    std::memcpy(r.colorMatrix, kBaseColorMatrices[1].matrix, sizeof r.colorMatrix);
    ASSERT_EQ(QORACameraStartVideo(cam.handle(), 1), 0);
    ASSERT_TRUE(eventually([&] { return load(r.framesReady) >= 3; }));
    QORACameraStopVideo(cam.handle(), 0);
    cam.expectSlotsHoldDeliveredFrames();
}

INSTANTIATE_TEST_SUITE_P(FrameAssembly, FrameAssemblyDecode,
                         ::testing::Values(std::tuple(kColourModel, 0, Settings{1, 1, 1, 1, 1, 1}),
                                           std::tuple(kColourModel, 0, Settings{0, 1, 0, 0, 0, 0}),
                                           std::tuple(kMonoModel, 32, Settings{1, 1, 1, 0, 1, 1})));

// Completions delivered by hand to a record made ready to stream; the interface's source exists
// so that re-queued reads are accepted (they wait: video is off).
TEST_F(FrameAssembly, CompletionsByHand) {
    StreamingCamera cam(kColourModel);
    CameraRecord &r = cam.record();
    ASSERT_EQ(QORACreateCameraBuffers(cam.handle()), 0);
    IOUSBInterfaceInterface **intf = r.interfaceInterface;
    CFRunLoopSourceRef source = nullptr;
    ASSERT_EQ((*intf)->CreateInterfaceAsyncEventSource(intf, &source), 0);
    r.bulkInPipe = 1;
    r.lastFrameMs = -1.0;
    r.streaming = 1;
    auto complete = [&](IOReturn result) {
        myQueBulKPipeDataCallBackFunction(cam.handle(), result,
                                          reinterpret_cast<void *>(uintptr_t(r.rawFrameBytes)));
    };

    // Aborted, or after the stop: nothing changes.
    std::vector<uint8_t> before(sizeof r);
    std::memcpy(before.data(), &r, sizeof r);
    complete(kIOReturnAborted);
    r.streaming = 0;
    complete(kIOReturnSuccess);
    r.streaming = 1;
    EXPECT_EQ(std::memcmp(before.data(), &r, sizeof r), 0);

    // Another error with the whole frame read is a frame; the first one is time 0.
    const std::vector<uint8_t> scene = cam.sim().renderFrame();
    for (uint8_t *buffer : r.rawBuffers) std::memcpy(buffer, scene.data(), r.rawFrameBytes);
    const std::vector<uint8_t> decoded = cam.expectedSlot(scene);
    complete(kIOReturnUnderrun);
    EXPECT_EQ(r.rawBufferIndex, 1u);
    EXPECT_EQ(r.readSlot, 0u);
    EXPECT_EQ(r.writeSlot, 1u);
    EXPECT_EQ(r.framesReady, 1u);
    EXPECT_EQ(r.slotFrameMs[0], 0.0);
    EXPECT_TRUE(cam.slot(0) == decoded);
    complete(kIOReturnSuccess);
    EXPECT_EQ(r.slotFrameMs[1],
              double(wideToUInt64(r.lastFrameUs) - wideToUInt64(r.streamStartUs)) * 0.001);

    // A missing slot is skipped but still takes its turn in the ring.
    r.frameSlots[2] = nullptr;
    complete(kIOReturnSuccess);
    EXPECT_EQ(r.writeSlot, 3u);
    EXPECT_EQ(r.framesReady, 3u);
    EXPECT_EQ(r.rawBufferIndex, 0u);

    // Full ring (the read slot follows the write slot): decoded again into the same slot.
    r.readSlot = 4;
    complete(kIOReturnSuccess);
    EXPECT_EQ(r.writeSlot, 3u);
    EXPECT_EQ(r.lastFilledSlot, 2u);
    EXPECT_EQ(r.framesReady, 3u);
    EXPECT_EQ(r.framesOverwritten, 1u);
    EXPECT_TRUE(cam.slot(3) == decoded);

    // The colour-balance step counts processed frames only.
    r.colorBalanceActive = 1;
    r.balanceFramesLeft = 10;
    r.framesWanted = 0;
    complete(kIOReturnSuccess);
    EXPECT_EQ(r.balanceFramesLeft, 10u);
    EXPECT_EQ(r.framesUnrequested, 1u);
    r.framesWanted = 1;
    complete(kIOReturnSuccess);
    EXPECT_EQ(r.balanceFramesLeft, 9u);

    (*intf)->AbortPipe(intf, 1); // the reads queued above
    r.streaming = 0;
}

} // namespace
} // namespace qor::test
