// Fault injection: failing and short register accesses, failing requests, bulk stalls,
// overruns and short packets, an exclusively held device, and unplugging at any moment.
#include "sim_test_support.h"

#include <atomic>
#include <functional>
#include <thread>

namespace qor::sim::test {
namespace {

using SimFaults = SimFixture;

TEST_F(SimFaults, RegisterFaultAnswersTheNextAccessesInItsDirection) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    camera->failRegister(0x04A4, Direction::Write, kIOReturnNotResponding, 2);
    uint32_t value;
    EXPECT_EQ(readRegister(*device, 0x04A4, value), 0) << "reads are not affected";
    EXPECT_EQ(writeRegister(*device, 0x04A4, 5000), kIOReturnNotResponding);
    EXPECT_EQ(writeRegister(*device, 0x04A4, 5000), kIOReturnNotResponding);
    EXPECT_EQ(camera->peekRegister(0x04A4), camera->model().exposure.initial)
        << "a failed write does not reach the register";
    EXPECT_EQ(writeRegister(*device, 0x04A4, 5000), 0);
    EXPECT_EQ(camera->peekRegister(0x04A4), 5000u);
}

TEST_F(SimFaults, PermanentFaultInBothDirections) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    camera->failRegister(0x1000, Direction::Both, kIOUSBPipeStalled, -1);
    uint32_t value;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(readRegister(*device, 0x1000, value), kIOUSBPipeStalled);
    EXPECT_EQ(readRegister(*device, 0x1004, value), 0) << "other registers answer";
}

TEST_F(SimFaults, OverrunStillPerformsTheAccess) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    camera->failRegister(0x04A4, Direction::Both, kIOReturnOverrun, 2);
    EXPECT_EQ(writeRegister(*device, 0x04A4, 7777), kIOReturnOverrun);
    EXPECT_EQ(camera->peekRegister(0x04A4), 7777u);
    uint32_t value = 0;
    EXPECT_EQ(readRegister(*device, 0x04A4, value), kIOReturnOverrun);
    EXPECT_EQ(value, 7777u);
}

TEST_F(SimFaults, ShortRegisterReadMovesFewerBytesWithoutError) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    camera->shortRegisterRead(0x1000, 2);
    uint8_t bytes[4] = {};
    uint32_t moved = 0;
    EXPECT_EQ(device->controlTransfer({0xC0, 0x12, 0, 0x1000, 4}, bytes, kTimeouts, moved), 0);
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(bytes[0] | bytes[1] << 8, 2592);
    EXPECT_EQ(bytes[2], 0);
    uint32_t value;
    EXPECT_EQ(readRegister(*device, 0x1000, value), 0) << "only once";
}

TEST_F(SimFaults, RequestFaultHitsAnyRegisterWithThatRequest) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    camera->failRequest(0x12, kIOReturnNotResponding, 2);
    uint32_t value;
    EXPECT_EQ(readRegister(*device, 0x1000, value), kIOReturnNotResponding);
    EXPECT_EQ(writeRegister(*device, 0x04A4, 1), kIOReturnNotResponding);
    EXPECT_EQ(readRegister(*device, 0x1000, value), 0);
    camera->failRequest(9, kIOUSBPipeStalled);
    EXPECT_EQ(device->setConfiguration(1), kIOUSBPipeStalled) << "standard requests too";
}

TEST_F(SimFaults, ExclusiveHoldRefusesOpenSeveralTimes) {
    CameraOptions options;
    options.productID = 0x00A1;
    auto camera = attachCamera(options);
    camera->holdExclusive(3);
    auto device = deviceOf(*camera);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(device->open(), kIOReturnExclusiveAccess);
    EXPECT_EQ(device->open(), 0);
}

TEST_F(SimFaults, BulkStallPersistsUntilTheHaltIsCleared) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x03AD, &camera);
    ASSERT_EQ(writeTwo(*device, 0x100C, 64, 48), 0);
    camera->failBulk(kBulkIn, kIOUSBPipeStalled);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0);
    std::vector<uint8_t> buffer(64 * 48);
    ReadResult first, second;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 3072, first.completion()), 0);
    ASSERT_TRUE(first.wait());
    EXPECT_EQ(first.status(), kIOUSBPipeStalled);
    EXPECT_EQ(device->endpointStatus(kBulkIn), kIOUSBPipeStalled);
    EXPECT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 3072, second.completion()),
              kIOUSBPipeStalled);
    ASSERT_EQ(device->clearHalt(kBulkIn), 0);
    EXPECT_EQ(device->endpointStatus(kBulkIn), 0);
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 3072, second.completion()), 0);
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(second.status(), 0);
    EXPECT_EQ(second.transferred(), 3072u);
}

TEST_F(SimFaults, BulkErrorsAnswerAtOnceEvenWithoutVideo) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    camera->failBulk(kBulkIn, kIOReturnOverrun);
    camera->failBulk(kBulkIn, kIOReturnNotResponding);
    std::vector<uint8_t> buffer(512);
    uint32_t moved = 0;
    EXPECT_EQ(device->bulkTransfer(kBulkIn, buffer.data(), 512, kTimeouts, moved),
              kIOReturnOverrun);
    EXPECT_EQ(moved, 512u);
    ReadResult read;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 512, read.completion()), 0);
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(read.status(), kIOReturnNotResponding);
    EXPECT_EQ(read.transferred(), 0u);
}

TEST_F(SimFaults, BulkOverrunAndShortReads) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x03AD, &camera);
    ASSERT_EQ(writeTwo(*device, 0x100C, 64, 48), 0);
    camera->failBulk(kBulkIn, kIOReturnOverrun);
    camera->shortBulk(kBulkIn, 1000);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0);
    std::vector<uint8_t> buffer(64 * 48);
    ReadResult overrun, shortRead, good;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 3072, overrun.completion()), 0);
    ASSERT_TRUE(overrun.wait());
    EXPECT_EQ(overrun.status(), kIOReturnOverrun);
    EXPECT_EQ(overrun.transferred(), 3072u);
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 3072, shortRead.completion()), 0);
    ASSERT_TRUE(shortRead.wait());
    EXPECT_EQ(shortRead.status(), 0);
    EXPECT_EQ(shortRead.transferred(), 1000u);
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 3072, good.completion()), 0);
    ASSERT_TRUE(good.wait());
    EXPECT_EQ(good.transferred(), 3072u) << "the faults were used up; whole frames again";
}

TEST_F(SimFaults, BulkWriteFaults) {
    CameraOptions options;
    options.productID = 0x00A1;
    options.firmwareLoaded = true;
    auto camera = attachCamera(options);
    auto device = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    ASSERT_EQ(device->setAlternateSetting(0, 1), 0);
    camera->shortBulk(kBulkOut, 10);
    camera->failBulk(kBulkOut, kIOUSBPipeStalled);
    uint8_t bytes[100] = {};
    uint32_t moved = 0;
    EXPECT_EQ(device->bulkTransfer(kBulkOut, bytes, 100, kTimeouts, moved), 0);
    EXPECT_EQ(moved, 10u);
    EXPECT_EQ(device->bulkTransfer(kBulkOut, bytes, 100, kTimeouts, moved), kIOUSBPipeStalled);
    EXPECT_EQ(device->bulkTransfer(kBulkOut, bytes, 100, kTimeouts, moved), kIOUSBPipeStalled)
        << "still halted";
    ASSERT_EQ(device->clearHalt(kBulkOut), 0);
    EXPECT_EQ(device->bulkTransfer(kBulkOut, bytes, 100, kTimeouts, moved), 0);
    EXPECT_EQ(moved, 100u);
}

TEST_F(SimFaults, SilentDeviceTimesOutAtTheHostsTimeOutAndTheLogKeepsIt) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    camera->clearTransferLog();
    camera->failRegister(0x04A4, Direction::Write, kIOUSBTransactionTimeout);
    uint8_t bytes[4] = {0x10, 0x27, 0, 0};
    uint32_t moved = 99;
    EXPECT_EQ(device->controlTransfer({0x40, 0x12, 0, 0x04A4, 4}, bytes, {5000, 0}, moved),
              kIOUSBTransactionTimeout);
    EXPECT_EQ(camera->peekRegister(0x04A4), camera->model().exposure.initial);
    uint8_t in[4] = {};
    EXPECT_EQ(device->controlTransfer({0xC0, 0x12, 0, 0x04A4, 4}, in, {250, 750}, moved), 0);

    camera->failBulk(kBulkIn, kIOUSBTransactionTimeout);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0); // frames flow, but none is sent
    std::vector<uint8_t> frame(640 * 480);
    EXPECT_EQ(device->bulkTransfer(kBulkIn, frame.data(), uint32_t(frame.size()), {5000, 0}, moved),
              kIOUSBTransactionTimeout);
    EXPECT_EQ(moved, 0u);

    const auto log = camera->transferLog();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0].result, kIOUSBTransactionTimeout);
    EXPECT_EQ(log[0].noDataTimeout, 5000u);
    EXPECT_EQ(log[0].completionTimeout, 0u);
    EXPECT_EQ(log[1].noDataTimeout, 250u);
    EXPECT_EQ(log[1].completionTimeout, 750u);
    EXPECT_EQ(log.back().kind, Transfer::Kind::BulkIn);
    EXPECT_EQ(log.back().result, kIOUSBTransactionTimeout);
    EXPECT_EQ(log.back().noDataTimeout, 5000u);
}

// Runs a transfer on a thread of its own and aborts the endpoint until the transfer ends; the
// abort may come before the transfer has reached the device, so it is repeated.
IOReturn abortedWhileWaiting(usb::Device &device, uint8_t endpoint,
                             const std::function<IOReturn()> &transfer) {
    IOReturn result = 0;
    std::atomic<bool> ended{false};
    std::thread host([&] {
        result = transfer();
        ended = true;
    });
    while (!ended) {
        device.abortEndpoint(endpoint);
        std::this_thread::sleep_for(1ms);
    }
    host.join();
    return result;
}

TEST_F(SimFaults, SilentDeviceWithoutTimeOutHoldsTheTransferUntilItsPipeIsAborted) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    camera->failRequest(0x12, kIOUSBTransactionTimeout);
    EXPECT_EQ(abortedWhileWaiting(
                  *device, 0,
                  [&] {
                      uint8_t in[4] = {};
                      uint32_t moved = 0;
                      return device->controlTransfer({0xC0, 0x12, 0, 0x1000, 4}, in, {0, 0}, moved);
                  }),
              kIOReturnAborted);

    camera->failBulk(kBulkIn, kIOUSBTransactionTimeout);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0);
    std::vector<uint8_t> frame(640 * 480);
    EXPECT_EQ(abortedWhileWaiting(*device, kBulkIn,
                                  [&] {
                                      uint32_t moved = 0;
                                      return device->bulkTransfer(kBulkIn, frame.data(),
                                                                  uint32_t(frame.size()), {0, 0},
                                                                  moved);
                                  }),
              kIOReturnAborted);
    const auto log = camera->transferLog();
    const auto aborts = std::count_if(log.begin(), log.end(), [](const Transfer &t) {
        return t.kind == Transfer::Kind::Abort && t.endpoint == 0;
    });
    EXPECT_GE(aborts, 1) << "aborts of the default pipe are logged";
}

TEST_F(SimFaults, UnplugEndsOutstandingReadsAndEveryLaterCall) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    std::vector<uint8_t> buffer(640 * 480);
    ReadResult read;
    ASSERT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 640 * 480, read.completion()), 0);
    camera->unplug();
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(read.status(), kIOReturnNoDevice);
    EXPECT_EQ(read.calls(), 1);
    EXPECT_FALSE(device->attached());
    EXPECT_EQ(camera->state(), CameraState::Unplugged);
    uint32_t value;
    EXPECT_EQ(readRegister(*device, 0x1000, value), kIOReturnNoDevice);
    EXPECT_EQ(device->endpointStatus(kBulkIn), kIOReturnNoDevice);
    EXPECT_EQ(device->submitBulkRead(kBulkIn, buffer.data(), 16, read.completion()),
              kIOReturnNoDevice);
    EXPECT_TRUE(simulatedBus()->devices().empty());
    const auto log = camera->transferLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().kind, Transfer::Kind::AsyncBulkIn);
    EXPECT_EQ(log.back().result, kIOReturnNoDevice);
}

TEST_F(SimFaults, UnplugWhileStreamingFromAnotherThread) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x03AD, &camera);
    ASSERT_EQ(writeTwo(*device, 0x100C, 64, 48), 0);
    ASSERT_EQ(writeRegister(*device, 0x0214, 0x80), 0);
    // Reads re-queued from their own completion, as the driver does, until the camera goes.
    struct Loop {
        explicit Loop(usb::Device *d) : device(d) {}
        usb::Device *device;
        std::vector<uint8_t> buffer = std::vector<uint8_t>(3072);
        std::mutex mutex;
        std::condition_variable ended;
        int frames = 0;
        IOReturn last = 0;
        bool done = false;
        void queue() {
            const IOReturn r = device->submitBulkRead(kBulkIn, buffer.data(), 3072,
                                                      [this](IOReturn status, uint32_t) {
                                                          {
                                                              std::lock_guard lock(mutex);
                                                              if (status == 0) ++frames;
                                                              last = status;
                                                          }
                                                          if (status == 0) {
                                                              queue();
                                                          } else {
                                                              std::lock_guard lock(mutex);
                                                              done = true;
                                                              ended.notify_all();
                                                          }
                                                      });
            if (r) {
                std::lock_guard lock(mutex);
                last = r;
                done = true;
                ended.notify_all();
            }
        }
    } loop(device.get());
    loop.queue();
    for (int i = 0; i < 1000; ++i) {
        {
            std::lock_guard lock(loop.mutex);
            if (loop.frames >= 3) break;
        }
        std::this_thread::sleep_for(5ms);
    }
    std::thread unplugger([&] { camera->unplug(); });
    unplugger.join();
    std::unique_lock lock(loop.mutex);
    ASSERT_TRUE(loop.ended.wait_for(lock, 10s, [&] { return loop.done; }));
    EXPECT_GE(loop.frames, 3);
    EXPECT_EQ(loop.last, kIOReturnNoDevice);
}

} // namespace
} // namespace qor::sim::test
