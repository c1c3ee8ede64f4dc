// The settings page's wait for a colour balance on a camera whose frames come slower than the
// wait's shortest patience.
#include "panel/panel_fixture.h"

#include <qorvanta/camera.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace qor::test {
namespace {

using ColorBalanceWait = PanelTest;

TEST_F(ColorBalanceWait, BalanceOnACameraWithFramesSlowerThanTwoSecondsIsNotAbandoned) {
    sim::CameraOptions options = runningCamera(0x01A8);
    options.dataRates = {120}; // a 640 x 480 frame takes 2.56 s at 120 KB/s
    openChannel(options);
    CameraRecord &r = record();
    ASSERT_EQ(SGStartPreview(grabber), noErr);
    ASSERT_GT(1000.0 / r.frameRate, 2000.0);
    showPage();

    // While the page waits, watch the balance through two frames: between them lies a whole
    // frame period without a frame. Then end it, as its last frame would.
    std::atomic<bool> runningAfterTwoFrames{false};
    std::thread watcher([&] {
        using Clock = std::chrono::steady_clock;
        const auto giveUp = Clock::now() + std::chrono::seconds(30);
        auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); };
        while (atomicField(r.colorBalanceActive).load() != 1 && Clock::now() < giveUp) pause();
        double last = atomicField(r.lastFrameMs).load();
        for (int frames = 0; frames < 2 && Clock::now() < giveUp; pause()) {
            const double now = atomicField(r.lastFrameMs).load();
            if (now != last) {
                last = now;
                ++frames;
            }
        }
        runningAfterTwoFrames.store(atomicField(r.colorBalanceActive).load() == 1 &&
                                    atomicField(r.redBalanceState).load() == 0);
        atomicField(r.colorBalanceActive).store(0);
    });
    EXPECT_EQ(dialog->clickItem(40), noErr);
    watcher.join();
    EXPECT_TRUE(runningAfterTwoFrames.load());
    SGStop(grabber);
}

} // namespace
} // namespace qor::test
