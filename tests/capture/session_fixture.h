// Test support for the capture session: simulated cameras attached as the loader finds them on
// a bus, the system brought up over them as a front end brings it up, and frames collected.
#pragma once

#include "capture/session.h"
#include "support/bundle_override.h"
#include "support/sim_camera.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace qor::test {

constexpr uint16_t kSmallColourModel = 0x0085; // 640 x 480
constexpr uint16_t kSmallMonoModel = 0x03AD;   // 640 x 480
constexpr uint16_t kCooledColourModel = 0x01A8;

class SessionTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        bundle_ = std::make_unique<BundleOverride>(repositoryResources());
    }
    void TearDown() override {
        camera.reset();
        system.reset();
        bundle_.reset();
        SimTest::TearDown();
    }

    // Attaches the cameras, running their firmware, and brings the system up over them.
    void bringUp(const std::vector<sim::CameraOptions> &cameras) {
        for (const sim::CameraOptions &options : cameras)
            sims.push_back(sim::attachCamera(options));
        std::string error;
        system = capture::System::bringUp({usb::BackendKind::Simulated, {}}, &error);
        ASSERT_TRUE(system) << error;
        ASSERT_EQ(system->error(), "");
    }
    // Brings one camera up and opens it.
    void openOne(const sim::CameraOptions &options) {
        bringUp({options});
        if (HasFatalFailure()) return;
        std::string error;
        camera = system->open("", &error);
        ASSERT_TRUE(camera) << error;
    }

    // Captures until `count` frames arrived.
    std::vector<capture::FramePtr> captureFrames(const capture::CaptureOptions &options,
                                                 size_t count) {
        std::vector<capture::FramePtr> frames;
        EXPECT_EQ(camera->start(options, [&](capture::FramePtr f) { frames.push_back(f); }), 0);
        for (int polls = 0; frames.size() < count && polls < 200; ++polls) {
            const int32_t status = camera->poll(0.1);
            EXPECT_EQ(status, 0) << capture::statusText(status);
            if (status) break;
        }
        camera->stop();
        EXPECT_GE(frames.size(), count);
        return frames;
    }

    std::vector<std::shared_ptr<sim::SimCamera>> sims;
    std::unique_ptr<capture::System> system;
    std::unique_ptr<capture::Camera> camera;

private:
    std::unique_ptr<BundleOverride> bundle_;
};

} // namespace qor::test
