// Streaming through the libusb backend: frames read with queued bulk reads, byte for byte what
// the camera's model sent, a stall and a short read recovered, and an unplug mid-stream.
#include "usbfs/backend_support.h"

#include "sim/registers.h"

#include <atomic>
#include <mutex>

namespace qor::testing {
namespace {

constexpr uint8_t kBulkIn = 0x86;
constexpr uint16_t kWidth = 160, kHeight = 120;
constexpr uint32_t kFrameBytes = kWidth * kHeight;
constexpr usb::Timeouts kWait{0, 5000};

IOReturn writeRegister(usb::Device &device, uint16_t reg, uint32_t value) {
    uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                        uint8_t(value >> 24)};
    uint32_t moved = 0;
    return device.controlTransfer({0x40, 0x12, 0, reg, 4}, bytes, kWait, moved);
}

// What each read of the streaming endpoint moved, in order.
std::vector<std::vector<uint8_t>> readsSent(const sim::SimCamera &camera) {
    std::vector<std::vector<uint8_t>> reads;
    for (const auto &t : camera.transferLog())
        if ((t.kind == sim::Transfer::Kind::AsyncBulkIn || t.kind == sim::Transfer::Kind::BulkIn) &&
            t.endpoint == kBulkIn && t.result == 0 && !t.data.empty())
            reads.push_back(t.data);
    return reads;
}

// The frames the model sent on its streaming endpoint, in order: its reads' payloads cut into
// frames (a host that splits a transfer reads one frame in several pieces). A frame whose last
// piece was never read is left out.
std::vector<std::vector<uint8_t>> framesSent(const sim::SimCamera &camera) {
    std::vector<uint8_t> bytes;
    for (const auto &t : camera.transferLog())
        if ((t.kind == sim::Transfer::Kind::AsyncBulkIn || t.kind == sim::Transfer::Kind::BulkIn) &&
            t.endpoint == kBulkIn && t.result == 0)
            bytes.insert(bytes.end(), t.data.begin(), t.data.end());
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; at + kFrameBytes <= bytes.size(); at += kFrameBytes)
        frames.emplace_back(bytes.begin() + long(at), bytes.begin() + long(at + kFrameBytes));
    return frames;
}

// Reads frames with two bulk reads always queued, each completion queueing the next.
class Reader {
public:
    explicit Reader(usb::Device &device) : device_(device) {}
    ~Reader() {
        EXPECT_TRUE(eventually([&] { return outstanding_.load() == 0; }));
    }

    IOReturn start() {
        running_ = true;
        for (auto &buffer : buffers_) {
            buffer.assign(kFrameBytes, 0);
            if (IOReturn result = submit(buffer)) return result;
        }
        return kIOReturnSuccess;
    }
    void stop() { running_ = false; }
    size_t framesRead() {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }
    std::vector<std::vector<uint8_t>> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    // The statuses of reads that ended without a frame, and of resubmissions refused.
    std::vector<IOReturn> endings() {
        std::lock_guard lock(mutex_);
        return endings_;
    }
    std::vector<IOReturn> refusals() {
        std::lock_guard lock(mutex_);
        return refusals_;
    }
    // Every read queued has completed, and only once.
    bool eachReadCompletedOnce() {
        std::lock_guard lock(mutex_);
        return submitted_ == frames_.size() + endings_.size();
    }
    int outstanding() const { return outstanding_.load(); }

private:
    IOReturn submit(std::vector<uint8_t> &buffer) {
        ++outstanding_;
        {
            std::lock_guard lock(mutex_);
            ++submitted_;
        }
        IOReturn result = device_.submitBulkRead(
            kBulkIn, buffer.data(), kFrameBytes, [this, &buffer](IOReturn status, uint32_t n) {
                {
                    std::lock_guard lock(mutex_);
                    if (status == kIOReturnSuccess)
                        frames_.emplace_back(buffer.begin(), buffer.begin() + n);
                    else
                        endings_.push_back(status);
                }
                if (status == kIOReturnSuccess && running_.load())
                    if (IOReturn refused = submit(buffer)) {
                        std::lock_guard lock(mutex_);
                        refusals_.push_back(refused);
                    }
                --outstanding_;
            });
        if (result) {
            std::lock_guard lock(mutex_);
            --submitted_;
            --outstanding_;
        }
        return result;
    }

    usb::Device &device_;
    std::vector<uint8_t> buffers_[2];
    std::atomic<bool> running_{false};
    std::atomic<int> outstanding_{0};
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> frames_;
    std::vector<IOReturn> endings_;
    std::vector<IOReturn> refusals_;
    size_t submitted_ = 0;
};

class BackendStream : public BackendTest {
protected:
    // A running camera opened for streaming: a small window, a short exposure, video on.
    void openStreaming(uint16_t productID = 0x03AD, const UsbfsNodeOptions &node = {}) {
        camera_ = bus_->attach(runningCamera(productID), node);
        ASSERT_TRUE(camera_);
        device_ = deviceOf(*camera_);
        ASSERT_TRUE(device_);
        ASSERT_EQ(device_->open(), kIOReturnSuccess);
        ASSERT_EQ(device_->setConfiguration(1), kIOReturnSuccess);
        ASSERT_EQ(device_->claimInterface(0), kIOReturnSuccess);
        ASSERT_EQ(device_->setAlternateSetting(0, 2), kIOReturnSuccess);
        ASSERT_EQ(writeRegister(*device_, 0x1008, 0), kIOReturnSuccess);
        ASSERT_EQ(writeRegister(*device_, 0x100C, uint32_t(kHeight) << 16 | kWidth),
                  kIOReturnSuccess);
        ASSERT_EQ(writeRegister(*device_, 0x04A4, 2000), kIOReturnSuccess);
        camera_->clearTransferLog();
        ASSERT_EQ(writeRegister(*device_, sim::kRegStreaming, 0x80), kIOReturnSuccess);
    }
    void TearDown() override {
        if (device_) device_->close();
        device_.reset();
        BackendTest::TearDown();
    }

    std::shared_ptr<sim::SimCamera> camera_;
    std::shared_ptr<usb::Device> device_;
};

// Reads queued two at a time until 100 frames came in, then aborted: every frame equals the one
// the model sent.
void expectEveryFrameWhole(usb::Device &device, const sim::SimCamera &camera) {
    Reader reader(device);
    ASSERT_EQ(reader.start(), kIOReturnSuccess);
    ASSERT_TRUE(eventually([&] { return reader.framesRead() >= 100; }));
    reader.stop();
    ASSERT_EQ(device.abortEndpoint(kBulkIn), kIOReturnSuccess);
    ASSERT_TRUE(eventually([&] { return reader.outstanding() == 0; }));
    EXPECT_EQ(writeRegister(device, sim::kRegStreaming, 0), kIOReturnSuccess);

    // The frames read are those the model sent, whole and in order. Around the abort the two
    // counts may differ by the reads then queued: a frame the device had sent for a read that
    // the abort ended is lost to the reader, as on a real bus, and a host that splits the read
    // may have finished a frame whose last piece the model logs as aborted.
    const auto frames = reader.frames();
    const auto sent = framesSent(camera);
    ASSERT_GE(frames.size(), 100u);
    ASSERT_GE(sent.size(), 100u);
    EXPECT_LE(std::max(frames.size(), sent.size()) - std::min(frames.size(), sent.size()), 2u);
    for (const auto &frame : frames) ASSERT_EQ(frame.size(), kFrameBytes);
    const size_t settled = std::min(frames.size(), sent.size()) - 2;
    for (size_t i = 0; i < settled; ++i) ASSERT_TRUE(frames[i] == sent[i]) << "frame " << i;
    // The reads still queued at the abort end with kIOReturnAborted; each read ends once.
    EXPECT_TRUE(reader.eachReadCompletedOnce());
    const auto endings = reader.endings();
    EXPECT_LE(endings.size(), 2u);
    for (IOReturn status : endings) EXPECT_EQ(status, kIOReturnAborted);
}

TEST_F(BackendStream, QueuedReadsDeliverEveryFrameTheModelSent) {
    openStreaming();
    expectEveryFrameWhole(*device_, *camera_);
}

// A host controller without bulk continuation: libusb splits each frame's read into URBs of
// 16 KB, each its own read of the device, and the frames still arrive whole and in order.
TEST_F(BackendStream, FramesArriveWholeWhenTheHostSplitsTheRead) {
    static_assert(kFrameBytes > 16384, "a frame must take more than one URB");
    openStreaming(0x03AD, {.capabilities = kUsbfsCapsWithoutContinuation});
    expectEveryFrameWhole(*device_, *camera_);
}

TEST_F(BackendStream, AStallAndAShortReadAreRecovered) {
    openStreaming();
    std::vector<uint8_t> frame(kFrameBytes);
    uint32_t moved = 0;

    camera_->failBulk(kBulkIn, kIOUSBPipeStalled, 1);
    EXPECT_EQ(device_->bulkTransfer(kBulkIn, frame.data(), kFrameBytes, kWait, moved),
              kIOUSBPipeStalled);
    EXPECT_EQ(device_->endpointStatus(kBulkIn), kIOUSBPipeStalled);
    EXPECT_EQ(
        device_->submitBulkRead(kBulkIn, frame.data(), kFrameBytes, [](IOReturn, uint32_t) {}),
        kIOUSBPipeStalled)
        << "a halted pipe takes nothing until it is cleared";
    ASSERT_EQ(device_->clearHalt(kBulkIn), kIOReturnSuccess);
    EXPECT_EQ(device_->endpointStatus(kBulkIn), kIOReturnSuccess);
    ASSERT_EQ(device_->bulkTransfer(kBulkIn, frame.data(), kFrameBytes, kWait, moved),
              kIOReturnSuccess);
    EXPECT_EQ(moved, kFrameBytes);
    EXPECT_TRUE(frame == readsSent(*camera_).back());

    // A short read completes with what moved; the layer above judges it.
    camera_->shortBulk(kBulkIn, 100, 1);
    ASSERT_EQ(device_->bulkTransfer(kBulkIn, frame.data(), kFrameBytes, kWait, moved),
              kIOReturnSuccess);
    EXPECT_EQ(moved, 100u);
    EXPECT_EQ(device_->endpointStatus(kBulkIn), kIOReturnSuccess);
    // Reading on finds a whole frame again.
    bool whole = false;
    for (int i = 0; i < 5 && !whole; ++i) {
        ASSERT_EQ(device_->bulkTransfer(kBulkIn, frame.data(), kFrameBytes, kWait, moved),
                  kIOReturnSuccess);
        whole = moved == kFrameBytes;
    }
    EXPECT_TRUE(whole);
    EXPECT_TRUE(frame == readsSent(*camera_).back());
}

TEST_F(BackendStream, UnplugMidStreamEndsEveryReadWithNoDeviceAndCloseSucceeds) {
    openStreaming();
    Reader reader(*device_);
    ASSERT_EQ(reader.start(), kIOReturnSuccess);
    ASSERT_TRUE(eventually([&] { return reader.framesRead() >= 5; }));
    camera_->unplug();
    ASSERT_TRUE(eventually([&] { return reader.outstanding() == 0; }));
    EXPECT_TRUE(reader.eachReadCompletedOnce());
    // The stream ends on kIOReturnNoDevice: reads queued at the unplug, or the next ones.
    auto endings = reader.endings();
    const auto refusals = reader.refusals();
    endings.insert(endings.end(), refusals.begin(), refusals.end());
    EXPECT_FALSE(endings.empty());
    for (IOReturn status : endings) EXPECT_EQ(status, kIOReturnNoDevice);
    ASSERT_TRUE(eventually([&] { return !device_->attached(); }));

    std::vector<uint8_t> frame(kFrameBytes);
    uint32_t moved = 0;
    EXPECT_EQ(device_->bulkTransfer(kBulkIn, frame.data(), kFrameBytes, kWait, moved),
              kIOReturnNoDevice);
    EXPECT_EQ(writeRegister(*device_, sim::kRegStreaming, 0), kIOReturnNoDevice);
    EXPECT_EQ(device_->setAlternateSetting(0, 0), kIOReturnNoDevice);
    EXPECT_EQ(device_->clearHalt(kBulkIn), kIOReturnNoDevice);
    EXPECT_EQ(device_->abortEndpoint(kBulkIn), kIOReturnNoDevice);
    device_->releaseInterface(0);
    device_->close();
    EXPECT_EQ(device_->open(), kIOReturnNoDevice);
}

} // namespace
} // namespace qor::testing
