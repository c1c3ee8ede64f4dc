// Streams that cannot go on: a camera whose every read fails, and a completion that does not
// return while the stream is stopped.
#include "stream/ring_gate.h"
#include "stream/streaming_camera.h"

#include <future>
#include <string>

namespace qor::test {
namespace {

size_t countOf(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

size_t videoStarts(const sim::SimCamera &sim) {
    size_t n = 0;
    for (const RegisterWrite &w : registerWrites(sim.transferLog()))
        if (w.reg == 0x0214 && w.value() == 0x80) ++n;
    return n;
}

enum class ReadFault { Stall, Overrun, Short };

class StreamEveryReadFails : public SimTest, public ::testing::WithParamInterface<ReadFault> {};

// Every read fails for a run of frames: video is restarted after each lost frame, with pauses,
// and the last frame of the run ends the stream with the read's error, which stays for the
// client. The messages are limited, and the next start streams again.
TEST_P(StreamEveryReadFails, EndsTheStreamWithTheReadsErrorAfterARunOfLostFrames) {
    constexpr uint32_t kRun = 8;
    StreamingCamera cam(kMonoModel, 2000);
    CameraRecord &r = cam.record();
    ASSERT_EQ(QORACameraStartVideo(cam.handle(), 1), 0);
    ASSERT_TRUE(eventually([&] { return load(r.framesReady) >= 1; }));
    cam.sim().clearTransferLog();
    testing::internal::CaptureStderr();
    IOReturn expected = 0;
    switch (GetParam()) {
    case ReadFault::Stall:
        cam.sim().failBulk(kBulkInEndpoint, kIOUSBPipeStalled, kRun);
        expected = kIOUSBPipeStalled;
        break;
    case ReadFault::Overrun:
        cam.sim().failBulk(kBulkInEndpoint, kIOReturnOverrun, kRun);
        expected = kIOReturnOverrun;
        break;
    case ReadFault::Short:
        cam.sim().shortBulk(kBulkInEndpoint, r.rawFrameBytes / 2, kRun);
        expected = kIOReturnUnderrun;
        break;
    }
    const bool ended = eventually([&] { return load(r.streaming) == 0; });
    const std::string messages = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(load(r.streamError), expected);
    EXPECT_EQ(load(r.framesLostInTransfer), kRun);
    EXPECT_EQ(videoStarts(cam.sim()), kRun - 1);
    // At most one a second: the whole run takes a fraction of that.
    const size_t wrongReads = countOf(messages, "WRONG numBytesRead");
    EXPECT_GE(wrongReads, 1u);
    EXPECT_LT(wrongReads, kRun) << messages;
    EXPECT_EQ(countOf(messages, "stream ended"), 1u) << messages;

    const uint32_t seen = load(r.framesReady) + load(r.framesOverwritten);
    ASSERT_EQ(QORACameraStartVideo(cam.handle(), 0), 0);
    EXPECT_EQ(load(r.streaming), 1);
    EXPECT_EQ(load(r.streamError), 0);
    EXPECT_TRUE(eventually([&] { return load(r.framesReady) + load(r.framesOverwritten) > seen; }));
}

INSTANTIATE_TEST_SUITE_P(Stream, StreamEveryReadFails,
                         ::testing::Values(ReadFault::Stall, ReadFault::Overrun, ReadFault::Short));

using StreamStop = SimTest;

// A completion that does not return: stop waits for it only so long, says so, and leaves alone
// what the thread still uses (its hand-shake, its loop, the raw buffers). Once the completion
// has returned, the next stop ends the thread and releases everything.
TEST_F(StreamStop, GivesUpOnACompletionThatDoesNotReturnAndKeepsWhatItUses) {
    StreamingCamera cam(kMonoModel, 2000);
    CameraRecord &r = cam.record();
    const size_t threads = threadCount();
    RingGate gate;
    ASSERT_EQ(QORACameraStartVideo(cam.handle(), 1), 0);
    ASSERT_TRUE(gate.waitForArrivals(1));

    testing::internal::CaptureStderr();
    auto stopped =
        std::async(std::launch::async, [&] { return QORACameraStopVideo(cam.handle(), 1); });
    if (stopped.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        gate.open();
        stopped.wait();
        testing::internal::GetCapturedStderr();
        FAIL() << "stop waited for as long as the completion ran";
    }
    const std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(stopped.get(), kIOReturnTimeout);
    EXPECT_EQ(countOf(messages, "QORUSBStopQuedAsynchBulkReads"), 1u) << messages;
    EXPECT_EQ(load(r.streaming), 0);
    EXPECT_EQ(load(r.streamError), kIOReturnTimeout);
    EXPECT_NE(r.streamThread, 0u);
    EXPECT_NE(r.streamRunLoop, nullptr);
    EXPECT_EQ(r.buffersAllocated, 1);
    EXPECT_NE(r.rawBufferMap, nullptr);

    gate.open();
    EXPECT_EQ(QORACameraStopVideo(cam.handle(), 1), 0);
    EXPECT_EQ(r.streamThread, 0u);
    EXPECT_EQ(r.streamRunLoop, nullptr);
    EXPECT_EQ(r.rawBufferMap, nullptr);
    EXPECT_TRUE(eventually([&] { return threadCount() == threads; }));
}

} // namespace
} // namespace qor::test
