// Starting a colour balance while one runs, from the client's thread, with the frame path
// stepping it on another.
#include "camera/balance_record.h"
#include "camera/video_controls.h"
#include "support/sim_camera.h"

#include <qorvanta/camera.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace qor;

namespace {

constexpr uint16_t kColourModel = 0x01A8;

class ColorBalanceStart : public test::SimTest {
protected:
    // The record fields the open would fill for the balance, from the camera.
    static void prepare(test::OpenCamera &cam) { test::prepareBalanceRecord(cam); }
};

TEST_F(ColorBalanceStart, SecondStartWhileOneRunsIsRefusedAndChangesNothing) {
    test::OpenCamera cam(test::runningCamera(kColourModel));
    prepare(cam);
    CameraRecord &r = cam.record();
    const uint32_t red = r.redGainMin + 5, blue = r.blueGainMin + 7;
    cam.sim().pokeRegister(0x0504, red);
    cam.sim().pokeRegister(0x0534, blue);
    ASSERT_EQ(QORAStartColorBalance(cam.handle()), 0);
    std::vector<uint8_t> frame = cam.sim().renderFrame();
    for (int i = 0; i < 5; ++i) camera::colorBalanceStep(cam.handle(), frame.data());
    ASSERT_EQ(atomicField(r.colorBalanceActive).load(), 1);
    const uint32_t framesLeft = r.balanceFramesLeft;
    const uint32_t redNow = cam.sim().peekRegister(0x0504);
    const uint32_t blueNow = cam.sim().peekRegister(0x0534);
    cam.sim().clearTransferLog();

    EXPECT_EQ(QORAStartColorBalance(cam.handle()), badCallOrderErr);
    // The running search keeps its count, its gains and the gains it will restore.
    EXPECT_EQ(r.balanceFramesLeft, framesLeft);
    EXPECT_EQ(r.savedRedGain, red);
    EXPECT_EQ(r.savedBlueGain, blue);
    EXPECT_EQ(cam.sim().peekRegister(0x0504), redNow);
    EXPECT_EQ(cam.sim().peekRegister(0x0534), blueNow);
    EXPECT_TRUE(test::controlTransfers(cam.sim().transferLog()).empty());
    EXPECT_EQ(atomicField(r.colorBalanceActive).load(), 1);

    // Once it has ended, a new one starts.
    r.balanceFramesLeft = 1;
    camera::colorBalanceStep(cam.handle(), frame.data());
    ASSERT_EQ(atomicField(r.colorBalanceActive).load(), 0);
    EXPECT_EQ(QORAStartColorBalance(cam.handle()), 0);
    EXPECT_EQ(r.balanceFramesLeft, 63u);
}

TEST_F(ColorBalanceStart, StartsRacingTheFramePathLeaveOneSearchAtATime) {
    test::OpenCamera cam(test::runningCamera(kColourModel));
    prepare(cam);
    CameraRecord &r = cam.record();
    const std::vector<uint8_t> frame = cam.sim().renderFrame();
    std::atomic<bool> stop{false};
    // The streaming thread's part: a step for every frame.
    std::thread frames([&] {
        while (!stop.load()) camera::colorBalanceStep(cam.handle(), frame.data());
    });
    int started = 0;
    for (int i = 0; i < 200; ++i) {
        const int32_t result = QORAStartColorBalance(cam.handle());
        EXPECT_TRUE(result == 0 || result == badCallOrderErr) << result;
        if (result == 0) ++started;
    }
    stop.store(true);
    frames.join();
    EXPECT_GE(started, 1);
    // Whatever the interleaving, the search in the record is one search: its count lies
    // within the start value and its gains within their ranges.
    EXPECT_LE(r.balanceFramesLeft, 63u);
    EXPECT_GE(atomicField(r.redGain).load(), r.redGainMin);
    EXPECT_LE(atomicField(r.redGain).load(), r.redGainMax);
    EXPECT_GE(atomicField(r.blueGain).load(), r.blueGainMin);
    EXPECT_LE(atomicField(r.blueGain).load(), r.blueGainMax);
}

} // namespace
