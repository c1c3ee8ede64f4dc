// Video start and stop through the simulated camera, and the stream's answer to faults.
#include "stream/streaming_camera.h"

#include "stream/stream_internal.h"

namespace qor::test {
namespace {

using Stream = SimTest;

// Register 0x0214 values written, in order.
std::vector<uint32_t> videoWrites(const sim::SimCamera &sim) {
    std::vector<uint32_t> values;
    for (const RegisterWrite &w : registerWrites(sim.transferLog()))
        if (w.reg == 0x0214) values.push_back(w.value());
    return values;
}

TEST_F(Stream, StartRunsOneThreadAndStopEndsIt) {
    StreamingCamera cam(kMonoModel, 2000);
    CameraRecord &r = cam.record();
    r.framesWanted = 0;
    const size_t threads = threadCount();
    ASSERT_EQ(QORACameraStartVideo(cam.handle(), 1), 0);
    EXPECT_EQ(load(r.streaming), 1);
    EXPECT_EQ(r.bulkInPipe, 1);
    EXPECT_EQ(load(r.streamThreadRunning), 1u);
    // Without a client every frame is read again into the next buffer, but neither timed
    // nor decoded.
    ASSERT_TRUE(eventually([&] { return load(r.framesUnrequested) >= 4; }));
    EXPECT_EQ(load(r.lastFrameMs), -1.0);

    // Starting again changes nothing: the stream's time keeps its origin.
    atomicField(r.lastFrameMs).store(123.0);
    EXPECT_EQ(QORACameraStartVideo(cam.handle(), 1), 0);
    EXPECT_EQ(videoWrites(cam.sim()), std::vector<uint32_t>{0x80});

    cam.sim().clearTransferLog();
    EXPECT_EQ(QORACameraStopVideo(cam.handle(), 0), 0);
    EXPECT_EQ(r.lastFrameMs, 123.0);
    EXPECT_EQ(r.rawBufferIndex, r.framesUnrequested % 3);
    EXPECT_EQ(r.readSlot, kNoSlot);
    EXPECT_EQ(r.streaming, 0);
    EXPECT_EQ(r.streamThread, 0u);
    EXPECT_EQ(r.streamRunLoop, nullptr);
    EXPECT_EQ(r.buffersAllocated, 1) << "stop keeps the buffers";
    const auto log = cam.sim().transferLog();
    EXPECT_EQ(clearedEndpoints(log).front(), kBulkInEndpoint);
    EXPECT_EQ(abortedEndpoints(log).front(), kBulkInEndpoint);
    EXPECT_EQ(videoWrites(cam.sim()), std::vector<uint32_t>{0});
    EXPECT_TRUE(eventually([&] { return threadCount() == threads; }));
}

TEST_F(Stream, FailedStartsLeaveNoThreadBehind) {
    StreamingCamera cam(kMonoModel);
    CameraRecord &r = cam.record();
    const size_t threads = threadCount();
    r.streaming = 1; // with no thread, stop only clears the flag
    QORUSBStopQuedAsynchBulkReads(cam.handle());
    EXPECT_EQ(r.streaming, 0);
    EXPECT_TRUE(cam.sim().transferLog().empty());

    // A pipe whose status fails: its error, nothing made.
    IOUSBInterfaceInterface **intf = r.interfaceInterface;
    const IOReturn status = (*intf)->GetPipeStatus(intf, 9);
    ASSERT_NE(status, 0);
    EXPECT_EQ(QORUSBStartQuedAsynchBulkReads(cam.handle(), 9), status);
    EXPECT_EQ(r.streaming, 0);
    EXPECT_EQ(r.streamThread, 0u);
    EXPECT_TRUE(videoWrites(cam.sim()).empty());

    // No buffers: the thread's first read fails; start answers 0 with the error recorded.
    EXPECT_EQ(QORUSBStartQuedAsynchBulkReads(cam.handle(), 1), 0);
    EXPECT_EQ(load(r.streaming), 0);
    EXPECT_EQ(load(r.streamError), kIOReturnBadArgument);

    // The next start ends that thread and streams.
    ASSERT_EQ(QORACameraStartVideo(cam.handle(), 1), 0);
    EXPECT_EQ(load(r.streaming), 1);
    ASSERT_TRUE(eventually([&] { return load(r.framesReady) >= 1; }));
    EXPECT_EQ(QORACameraStopVideo(cam.handle(), 1), 0);
    EXPECT_TRUE(eventually([&] { return threadCount() == threads; }));
}

TEST_F(Stream, RepeatedStartAndStop) {
    StreamingCamera cam(kColourModel, 2000);
    CameraRecord &r = cam.record();
    const size_t threads = threadCount();
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(QORACameraStartVideo(cam.handle(), i % 8 == 0), 0) << i;
        ASSERT_EQ(load(r.streaming), 1) << i;
        const uint32_t seen = load(r.framesReady) + load(r.framesOverwritten);
        if (i % 2) {
            ASSERT_TRUE(
                eventually([&] { return load(r.framesReady) + load(r.framesOverwritten) > seen; }));
        }
        ASSERT_EQ(QORACameraStopVideo(cam.handle(), i % 8 == 7), 0) << i;
        ASSERT_EQ(r.streamThread, 0u) << i;
    }
    EXPECT_EQ(r.framesLostInTransfer, 0u);
    EXPECT_TRUE(eventually([&] { return threadCount() == threads; }));
}

TEST_F(Stream, UnplugEndsTheStreamAndStopStillReturns) {
    StreamingCamera cam(kMonoModel);
    CameraRecord &r = cam.record();
    const size_t threads = threadCount();
    ASSERT_EQ(QORACameraStartVideo(cam.handle(), 1), 0);
    ASSERT_TRUE(eventually([&] { return load(r.framesReady) >= 1; }));
    testing::internal::CaptureStderr();
    cam.sim().unplug();
    EXPECT_TRUE(eventually([&] { return load(r.streaming) == 0; }));
    EXPECT_EQ(load(r.streamError), kIOReturnNoDevice);
    EXPECT_EQ(QORACameraStopVideo(cam.handle(), 1), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.streamThread, 0u);
    EXPECT_TRUE(eventually([&] { return threadCount() == threads; }));
}

// One byte short, or an overrun of the whole length: message, video restarted in the camera,
// the same buffer read again; the frames after it decode as sent.
class StreamBadTransfer : public SimTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StreamBadTransfer, RestartsVideoAndRereadsTheSameBuffer) {
    const bool shortRead = GetParam();
    StreamingCamera cam(kMonoModel, 20000);
    CameraRecord &r = cam.record();
    ASSERT_EQ(QORACameraStartVideo(cam.handle(), 1), 0);
    ASSERT_TRUE(eventually([&] { return load(r.framesReady) >= 1; }));
    const uint32_t frame = r.rawFrameBytes;
    testing::internal::CaptureStderr();
    if (shortRead)
        cam.sim().shortBulk(kBulkInEndpoint, frame - 1);
    else
        cam.sim().failBulk(kBulkInEndpoint, kIOReturnOverrun);
    ASSERT_TRUE(eventually([&] { return load(r.framesLostInTransfer) == 1; }));
    const uint32_t before = load(r.framesReady);
    ASSERT_TRUE(eventually([&] { return load(r.framesReady) >= before + 2; }));
    QORACameraStopVideo(cam.handle(), 0);

    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "myQueBulKPipeDataCallBackFunction WRONG numBytesRead %d expectd %d bytes\n",
                  int(shortRead ? frame - 1 : frame), int(frame));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    EXPECT_EQ(videoWrites(cam.sim()), (std::vector<uint32_t>{0x80, 0, 0x80, 0}));
    EXPECT_EQ(r.rawBufferIndex, r.framesReady % 3) << "the lost frame took no buffer turn";
    cam.expectSlotsHoldDeliveredFrames();
}

INSTANTIATE_TEST_SUITE_P(Stream, StreamBadTransfer, ::testing::Bool());

} // namespace
} // namespace qor::test
