// Streaming: after register 0x0214 = 0x80 each bulk read on the streaming endpoint gets one raw
// frame; reads wait while video is stopped; abort ends them.
#include "sim_test_support.h"

namespace qor::sim::test {
namespace {

class SimStream : public SimFixture {
protected:
    // A small window, so that frames come quickly: 160 x 120 of the monochrome 0x03AD.
    std::shared_ptr<usb::Device> smallWindow(std::shared_ptr<SimCamera> &camera) {
        auto device = openRunning(0x03AD, &camera);
        EXPECT_EQ(writeTwo(*device, 0x100C, 160, 120), 0);
        EXPECT_EQ(writeRegister(*device, 0x04A4, 2000), 0);
        return device;
    }
    static constexpr uint32_t kFrame = 160 * 120;
};

TEST_F(SimStream, EachReadGetsExactlyOneFrame) {
    std::shared_ptr<SimCamera> camera;
    auto device = smallWindow(camera);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0);
    std::vector<uint8_t> first(kFrame), second(kFrame);
    ReadResult a, b;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, first.data(), kFrame, a.completion()), 0);
    ASSERT_EQ(device->submitBulkRead(kBulkIn, second.data(), kFrame, b.completion()), 0);
    ASSERT_TRUE(a.wait());
    ASSERT_TRUE(b.wait());
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.transferred(), kFrame);
    EXPECT_EQ(b.status(), 0);
    EXPECT_EQ(b.transferred(), kFrame);
    EXPECT_NE(first, second) << "noise and the moving detail differ from frame to frame";
    // A frame is what the sensor shows: same geometry and brightness as a rendered one.
    const auto rendered = camera->renderFrame();
    ASSERT_EQ(rendered.size(), first.size());
    double difference = 0;
    for (size_t i = 0; i < first.size(); ++i) difference += std::abs(first[i] - rendered[i]);
    EXPECT_LT(difference / double(first.size()), 4.0);
}

TEST_F(SimStream, LargerReadEndsShortAtTheFrameAndSmallerReadsShareIt) {
    std::shared_ptr<SimCamera> camera;
    auto device = smallWindow(camera);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0);
    std::vector<uint8_t> big(kFrame * 2);
    ReadResult large;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, big.data(), kFrame * 2, large.completion()), 0);
    ASSERT_TRUE(large.wait());
    EXPECT_EQ(large.status(), 0);
    EXPECT_EQ(large.transferred(), kFrame);

    // Halves of one frame: the second read carries the rest, up to the frame's end.
    std::vector<uint8_t> half(kFrame);
    ReadResult h1, h2;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, half.data(), kFrame / 2, h1.completion()), 0);
    ASSERT_EQ(device->submitBulkRead(kBulkIn, half.data() + kFrame / 2, kFrame, h2.completion()),
              0);
    ASSERT_TRUE(h1.wait());
    ASSERT_TRUE(h2.wait());
    EXPECT_EQ(h1.transferred(), kFrame / 2);
    EXPECT_EQ(h2.transferred(), kFrame / 2);
}

TEST_F(SimStream, ReadsWaitWhileVideoIsStoppedAndAbortEndsThem) {
    std::shared_ptr<SimCamera> camera;
    auto device = smallWindow(camera);
    std::vector<uint8_t> buffer(kFrame);
    ReadResult pending;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), kFrame, pending.completion()), 0);
    EXPECT_FALSE(pending.wait(100ms)) << "no video, no data";
    ASSERT_EQ(device->abortEndpoint(kBulkIn), 0);
    ASSERT_TRUE(pending.wait());
    EXPECT_EQ(pending.status(), kIOReturnAborted);
    EXPECT_EQ(pending.transferred(), 0u);

    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0);
    ReadResult streamed;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), kFrame, streamed.completion()), 0);
    ASSERT_TRUE(streamed.wait());
    EXPECT_EQ(streamed.status(), 0);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0), 0);
    ReadResult afterStop;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), kFrame, afterStop.completion()), 0);
    EXPECT_FALSE(afterStop.wait(100ms));
    ASSERT_EQ(device->abortEndpoint(kBulkIn), 0);
    ASSERT_TRUE(afterStop.wait());
    EXPECT_EQ(afterStop.status(), kIOReturnAborted);
    EXPECT_EQ(afterStop.calls(), 1);
}

TEST_F(SimStream, CompletionMayQueueTheNextReadAndWriteRegisters) {
    std::shared_ptr<SimCamera> camera;
    auto device = smallWindow(camera);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0);
    struct Chain {
        explicit Chain(usb::Device *d) : device(d) {}
        usb::Device *device;
        std::vector<uint8_t> buffer = std::vector<uint8_t>(kFrame);
        std::mutex mutex;
        std::condition_variable changed;
        int frames = 0;
        IOReturn failure = 0;
        void queue() {
            const IOReturn r = device->submitBulkRead(
                kBulkIn, buffer.data(), kFrame, [this](IOReturn s, uint32_t n) {
                    // As the driver's completion does: the next read first, then a gain write.
                    bool more;
                    {
                        std::lock_guard lock(mutex);
                        if (s == 0 && n == kFrame) ++frames;
                        if (s) failure = s;
                        more = s == 0 && frames < 5;
                        changed.notify_all();
                    }
                    if (more) {
                        queue();
                        writeRegister(*device, 0x04A4, 2000 + 10 * frames);
                    }
                });
            if (r) {
                std::lock_guard lock(mutex);
                failure = r;
                changed.notify_all();
            }
        }
    } chain(device.get());
    chain.queue();
    std::unique_lock lock(chain.mutex);
    ASSERT_TRUE(
        chain.changed.wait_for(lock, 10s, [&] { return chain.frames >= 5 || chain.failure; }));
    EXPECT_EQ(chain.failure, 0);
    EXPECT_EQ(chain.frames, 5);
}

TEST_F(SimStream, SynchronousReadGetsAFrameOrTimesOut) {
    std::shared_ptr<SimCamera> camera;
    auto device = smallWindow(camera);
    std::vector<uint8_t> buffer(kFrame);
    uint32_t moved = 0;
    EXPECT_EQ(device->bulkTransfer(kBulkIn, buffer.data(), kFrame, {50, 0}, moved),
              kIOUSBTransactionTimeout);
    EXPECT_EQ(moved, 0u);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0);
    EXPECT_EQ(device->bulkTransfer(kBulkIn, buffer.data(), kFrame, kTimeouts, moved), 0);
    EXPECT_EQ(moved, kFrame);
    const auto log = camera->transferLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().kind, Transfer::Kind::BulkIn);
    EXPECT_EQ(log.back().data.size(), kFrame);
}

TEST_F(SimStream, StreamedFramesAreLoggedWithTheirBytes) {
    std::shared_ptr<SimCamera> camera;
    auto device = smallWindow(camera);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0);
    camera->clearTransferLog();
    std::vector<uint8_t> buffer(kFrame);
    ReadResult read;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), kFrame, read.completion()), 0);
    ASSERT_TRUE(read.wait());
    const auto log = camera->transferLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, Transfer::Kind::AsyncBulkIn);
    EXPECT_EQ(log[0].endpoint, kBulkIn);
    EXPECT_EQ(log[0].data, buffer);
}

TEST_F(SimStream, ReadsOnTheWrongEndpointOrSettingAreRefused) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    std::vector<uint8_t> buffer(64);
    ReadResult read;
    EXPECT_EQ(device->submitBulkRead(kBulkOut, buffer.data(), 64, read.completion()),
              kIOReturnBadArgument);
    ASSERT_EQ(device->setAlternateSetting(0, 1), 0);
    EXPECT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 64, read.completion()),
              kIOReturnBadArgument)
        << "alternate setting 1 only takes the bitstream";
    EXPECT_EQ(read.calls(), 0);
}

TEST_F(SimStream, ChangingTheAlternateSettingEndsReadsOnEndpointsItLacks) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    std::vector<uint8_t> buffer(64);
    ReadResult read;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 64, read.completion()), 0);
    ASSERT_EQ(device->setAlternateSetting(0, 0), 0);
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(read.status(), kIOReturnAborted);
}

} // namespace
} // namespace qor::sim::test
