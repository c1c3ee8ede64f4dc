// Helpers for the simulator's tests: cameras attached for one test, and the host side of the
// camera's protocol spoken directly through the backend's Device calls.
#pragma once

#include "sim/images.h"
#include "sim/sim.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace qor::sim::test {

using namespace std::chrono_literals;

constexpr uint8_t kBulkOut = 0x02, kBulkIn = 0x86;
// The time-outs the driver gives its control requests and bulk transfers.
constexpr usb::Timeouts kTimeouts{5000, 0};

// The Device the simulated bus lists for this camera now, or null.
inline std::shared_ptr<usb::Device> deviceOf(const SimCamera &camera) {
    for (auto &device : simulatedBus()->devices())
        if (device->locationID() == camera.locationID()) return device;
    return nullptr;
}

inline IOReturn readRegister(usb::Device &device, uint16_t reg, uint32_t &value) {
    uint8_t bytes[4] = {};
    uint32_t moved = 0;
    const IOReturn result =
        device.controlTransfer({0xC0, 0x12, 0, reg, 4}, bytes, kTimeouts, moved);
    value = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
            uint32_t(bytes[3]) << 24;
    return result == 0 && moved != 4 ? -1 : result;
}

inline uint32_t readRegister(usb::Device &device, uint16_t reg) {
    uint32_t value = 0;
    EXPECT_EQ(readRegister(device, reg, value), 0) << "register 0x" << std::hex << reg;
    return value;
}

inline IOReturn writeRegister(usb::Device &device, uint16_t reg, uint32_t value) {
    uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                        uint8_t(value >> 24)};
    uint32_t moved = 0;
    return device.controlTransfer({0x40, 0x12, 0, reg, 4}, bytes, kTimeouts, moved);
}

inline IOReturn writeTwo(usb::Device &device, uint16_t reg, uint16_t first, uint16_t second) {
    return writeRegister(device, reg, uint32_t(second) << 16 | first);
}

inline IOReturn fx2Load(usb::Device &device, uint16_t address, const uint8_t *bytes,
                        uint16_t length) {
    uint32_t moved = 0;
    return device.controlTransfer({0x40, 0xA0, address, 0, length}, const_cast<uint8_t *>(bytes),
                                  kTimeouts, moved);
}

inline IOReturn setCpuHeld(usb::Device &device, bool held) {
    const uint8_t byte = held ? 1 : 0;
    return fx2Load(device, 0xE600, &byte, 1);
}

// Holds the CPU, writes the image in 1 KB pieces and releases the CPU; the first failure.
inline IOReturn downloadFirmware(usb::Device &device, const std::vector<uint8_t> &image) {
    if (IOReturn r = setCpuHeld(device, true)) return r;
    for (size_t at = 0; at < image.size(); at += 1024) {
        const size_t n = std::min<size_t>(1024, image.size() - at);
        if (IOReturn r = fx2Load(device, uint16_t(at), image.data() + at, uint16_t(n))) return r;
    }
    return setCpuHeld(device, false);
}

// Opens the device, selects configuration 1 and claims interface 0.
inline void openDevice(usb::Device &device) {
    ASSERT_EQ(device.open(), 0);
    ASSERT_EQ(device.setConfiguration(1), 0);
    ASSERT_EQ(device.claimInterface(0), 0);
}

// Writes the bitstream through the FPGA's configuration sequence; the final state of 0x0008.
inline uint32_t configureFpga(usb::Device &device, const std::vector<uint8_t> &bits) {
    EXPECT_EQ(device.setAlternateSetting(0, 1), 0);
    EXPECT_EQ(writeRegister(device, 0x0008, 0xFFFFFFFF), 0);
    uint32_t moved = 0;
    EXPECT_EQ(device.bulkTransfer(kBulkOut, const_cast<uint8_t *>(bits.data()),
                                  uint32_t(bits.size()), kTimeouts, moved),
              0);
    EXPECT_EQ(writeRegister(device, 0x0008, 0), 0);
    EXPECT_EQ(device.setAlternateSetting(0, 0), 0);
    return readRegister(device, 0x0008);
}

// The outcome of an asynchronous read, waited for from the test's thread.
class ReadResult {
public:
    usb::TransferCompletion completion() {
        return [this](IOReturn status, uint32_t transferred) {
            std::lock_guard lock(mutex_);
            status_ = status;
            transferred_ = transferred;
            ++calls_;
            done_.notify_all();
        };
    }
    bool wait(std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, timeout, [this] { return calls_ > 0; });
    }
    IOReturn status() const {
        std::lock_guard lock(mutex_);
        return status_;
    }
    uint32_t transferred() const {
        std::lock_guard lock(mutex_);
        return transferred_;
    }
    int calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable done_;
    IOReturn status_ = 0;
    uint32_t transferred_ = 0;
    int calls_ = 0;
};

// Every test starts and ends with an empty bus.
class SimFixture : public ::testing::Test {
protected:
    void TearDown() override { detachAllCameras(); }

    // A camera running its firmware with the FPGA configured, opened with configuration 1,
    // interface 0 claimed and its streaming alternate setting selected.
    std::shared_ptr<usb::Device> openRunning(uint16_t productID,
                                             std::shared_ptr<SimCamera> *camera = nullptr) {
        CameraOptions options;
        options.productID = productID;
        options.firmwareLoaded = true;
        options.fpgaConfigured = true;
        auto attached = attachCamera(options);
        EXPECT_TRUE(attached);
        if (!attached) return nullptr;
        if (camera) *camera = attached;
        auto device = deviceOf(*attached);
        EXPECT_TRUE(device);
        if (!device) return nullptr;
        openDevice(*device);
        const uint8_t streaming = (productID & 0x0300) == 0x0300 ? 1 : 2;
        EXPECT_EQ(device->setAlternateSetting(0, streaming), 0);
        return device;
    }
};

} // namespace qor::sim::test
