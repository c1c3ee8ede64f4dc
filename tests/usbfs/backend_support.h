// Test support for the libusb backend reached through emulated usbfs nodes: a bus of simulated
// cameras behind umockdev, and the backend added to the platform in place of the simulated bus.
#pragma once

#include "libusb/libusb_backend.h"
#include "usb/vendor_ids.h"
#include "usbfs/usbfs_bus.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace qor::testing {

// Polls until the condition holds; false when the (generous) time is up.
inline bool eventually(const std::function<bool()> &condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline sim::CameraOptions runningCamera(uint16_t productID, std::string serial = {}) {
    sim::CameraOptions options;
    options.productID = productID;
    options.serial = std::move(serial);
    options.firmwareLoaded = true;
    options.fpgaConfigured = true;
    return options;
}

// Each test has its own emulated bus, made before the backend's libusb context and removed
// after it.
class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus_ = std::make_unique<UsbfsBus>();
        std::string error;
        backend_ = libusb::startBackend({kCameraVendorID, kCameraVendorID2}, &error);
        ASSERT_TRUE(backend_) << error;
        usb::addBackend(backend_);
    }
    void TearDown() override {
        if (backend_) usb::removeBackend(backend_);
        backend_.reset();
        bus_.reset();
    }

    // The backend's device for the camera's current enumeration (programmed or not), once the
    // backend has it.
    std::shared_ptr<usb::Device> deviceOf(const sim::SimCamera &camera) {
        std::shared_ptr<usb::Device> found;
        eventually([&] {
            for (auto &device : backend_->devices())
                if (device->locationID() == camera.locationID() &&
                    (device->deviceDescriptor().idProduct & 0x7FFF) == camera.model().productID)
                    found = device;
            return found != nullptr;
        });
        return found;
    }

    // The emulated node lets go of a closed file's claim on the device on its own thread; a
    // test that opens the camera again right after a close waits for that first: until the
    // model's last open or close is a close (an enumeration that left logs no close).
    static bool released(const sim::SimCamera &camera) {
        return eventually([&] {
            bool held = false;
            for (const auto &t : camera.transferLog()) {
                if (t.kind == sim::Transfer::Kind::Open && t.result == 0) held = true;
                if (t.kind == sim::Transfer::Kind::Close) held = false;
            }
            return !held;
        });
    }

    std::unique_ptr<UsbfsBus> bus_;
    std::shared_ptr<usb::Backend> backend_;
};

} // namespace qor::testing
