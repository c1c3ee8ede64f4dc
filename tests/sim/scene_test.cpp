// The frames the simulated sensor produces: geometry, mosaic phase, and how exposure, gains
// and the tone curve shape them.
#include "sim_test_support.h"

#include <array>

namespace qor::sim::test {
namespace {

using SimScene = SimFixture;

// Mean level of each site of the 2 x 2 tile (top-left, top-right, bottom-left, bottom-right).
std::array<double, 4> siteMeans(const std::vector<uint8_t> &frame, uint32_t width) {
    std::array<double, 4> sum{};
    std::array<size_t, 4> count{};
    for (size_t i = 0; i < frame.size(); ++i) {
        const size_t x = i % width, y = i / width;
        const size_t site = (y & 1) * 2 + (x & 1);
        sum[site] += frame[i];
        ++count[site];
    }
    for (int s = 0; s < 4; ++s) sum[s] /= double(count[s]);
    return sum;
}

double mean(const std::vector<uint8_t> &frame) {
    double sum = 0;
    for (uint8_t v : frame) sum += v;
    return sum / double(frame.size());
}

TEST_F(SimScene, FrameSizeIsTheWindowOverTheSubsampling) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera);
    EXPECT_EQ(camera->renderFrame().size(), size_t(2592) * 1944) << "the full sensor at reset";
    ASSERT_EQ(writeTwo(*device, 0x100C, 640, 480), 0);
    EXPECT_EQ(camera->renderFrame().size(), size_t(640) * 480);
    ASSERT_EQ(writeTwo(*device, 0x1018, 2, 2), 0);
    EXPECT_EQ(camera->renderFrame().size(), size_t(320) * 240);
}

TEST_F(SimScene, RedSitesFollowTheMosaicPhaseOfEachSensorCode) {
    // Raise the red gain: the site that brightens is the red one of the model's phase.
    struct Case {
        uint16_t productID;
        int redSite;
    };
    for (const Case c : {Case{0x04A2, 0}, Case{0x00A3, 1}, Case{0x01AC, 2}, Case{0x01A2, 3},
                         Case{0x0096, 0}, Case{0x018A, 1}, Case{0x009E, 2}, Case{0x0180, 3}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.productID);
        std::shared_ptr<SimCamera> camera;
        auto device = openRunning(c.productID, &camera);
        ASSERT_EQ(writeTwo(*device, 0x100C, 320, 240), 0);
        ASSERT_EQ(writeTwo(*device, 0x1008, 160, 120), 0);
        const auto before = siteMeans(camera->renderFrame(), 320);
        const ControlLimits &red = camera->model().redGain;
        ASSERT_EQ(writeRegister(*device, 0x0504, red.initial * 2), 0);
        const auto after = siteMeans(camera->renderFrame(), 320);
        for (int s = 0; s < 4; ++s) {
            if (s == c.redSite)
                EXPECT_GT(after[s], before[s] * 1.5) << "site " << s;
            else
                EXPECT_NEAR(after[s], before[s], 1.0) << "site " << s;
        }
        detachAllCameras();
    }
}

TEST_F(SimScene, OddWindowOriginShiftsThePhase) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x04A2, &camera); // RGGB
    ASSERT_EQ(writeTwo(*device, 0x100C, 320, 240), 0);
    ASSERT_EQ(writeTwo(*device, 0x1008, 161, 120), 0);
    const auto before = siteMeans(camera->renderFrame(), 320);
    ASSERT_EQ(writeRegister(*device, 0x0504, 200), 0);
    const auto after = siteMeans(camera->renderFrame(), 320);
    EXPECT_GT(after[1], before[1] * 1.5) << "red now in the second column";
}

TEST_F(SimScene, GreyLooksRedWhenTheRedGainIsTooHighAndBalanceIsReachable) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x0085, &camera); // 640 x 480, BGGR
    auto balance = [&](uint32_t red, uint32_t blue) {
        EXPECT_EQ(writeRegister(*device, 0x0504, red), 0);
        EXPECT_EQ(writeRegister(*device, 0x0534, blue), 0);
        const auto m = siteMeans(camera->renderFrame(), 640);
        return std::array<double, 3>{m[3], (m[1] + m[2]) / 2, m[0]};
    };
    const auto high = balance(255, 64);
    EXPECT_GT(high[0], high[1] * 1.5) << "too much red gain: the grey scene is red";
    // Bisection on red and blue toward the green level over the whole frame, as an automatic
    // colour balance does.
    uint32_t redLow = 0, redHigh = 255, blueLow = 0, blueHigh = 255;
    for (int step = 0; step < 10; ++step) {
        const uint32_t red = (redLow + redHigh) / 2, blue = (blueLow + blueHigh) / 2;
        const auto m = balance(red, blue);
        (m[0] > m[1] ? redHigh : redLow) = red;
        (m[2] > m[1] ? blueHigh : blueLow) = blue;
    }
    const uint32_t red = (redLow + redHigh) / 2, blue = (blueLow + blueHigh) / 2;
    const auto balanced = balance(red, blue);
    EXPECT_NEAR(balanced[0], balanced[1], 7.0);
    EXPECT_NEAR(balanced[2], balanced[1], 7.0);
    EXPECT_LT(red, 64u) << "the light is warm: red needs less than unity gain";
    EXPECT_GT(blue, 64u) << "and blue more";
}

TEST_F(SimScene, ExposureAndGainBrighten) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x01A7, &camera); // monochrome
    ASSERT_EQ(writeTwo(*device, 0x100C, 640, 480), 0);
    const double base = mean(camera->renderFrame());
    EXPECT_GT(base, 60);
    EXPECT_LT(base, 180);
    ASSERT_EQ(writeRegister(*device, 0x04A4, camera->model().exposure.initial / 2), 0);
    const double shorter = mean(camera->renderFrame());
    EXPECT_LT(shorter, base * 0.65);
    ASSERT_EQ(writeRegister(*device, 0x04F4, camera->model().gain.initial * 2), 0);
    EXPECT_NEAR(mean(camera->renderFrame()), base, base * 0.1);
}

TEST_F(SimScene, ToneCurveMapsEveryLevel) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x01A7, &camera);
    ASSERT_EQ(writeTwo(*device, 0x100C, 320, 240), 0);
    const auto plain = camera->renderFrame();
    std::vector<uint8_t> invert(256);
    for (int i = 0; i < 256; ++i) invert[i] = uint8_t(255 - i);
    uint32_t moved = 0;
    ASSERT_EQ(
        device->controlTransfer({0x40, 0x12, 0, 0x5000, 256}, invert.data(), kTimeouts, moved), 0);
    const auto curved = camera->renderFrame();
    ASSERT_EQ(curved.size(), plain.size());
    for (size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(curved[i], 255 - plain[i]) << i;
    ASSERT_EQ(writeRegister(*device, 0x5000, 0), 0);
    EXPECT_EQ(camera->renderFrame(), plain);
}

TEST_F(SimScene, BinningReadoutIsGreyWhereTheFormatChanges) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x00A3, &camera); // format lost when subsampled
    ASSERT_EQ(writeTwo(*device, 0x100C, 640, 480), 0);
    ASSERT_EQ(writeTwo(*device, 0x1008, 704, 528), 0);
    ASSERT_EQ(writeTwo(*device, 0x1018, 2, 2), 0);
    ASSERT_EQ(writeRegister(*device, 0x0504, 255), 0);
    const auto binned = siteMeans(camera->renderFrame(), 320);
    EXPECT_NEAR(binned[0], binned[1], 2.0) << "no mosaic left to show the red gain";
    EXPECT_NEAR(binned[2], binned[3], 2.0);

    std::shared_ptr<SimCamera> keeps;
    auto other = openRunning(0x04A2, &keeps); // format kept: skipping keeps the mosaic
    ASSERT_EQ(writeTwo(*other, 0x100C, 640, 480), 0);
    ASSERT_EQ(writeTwo(*other, 0x1018, 2, 2), 0);
    ASSERT_EQ(writeRegister(*other, 0x0504, 255), 0);
    const auto skipped = siteMeans(keeps->renderFrame(), 320);
    EXPECT_GT(skipped[0], skipped[3] * 1.5);
}

TEST_F(SimScene, FramesAreDeterministicAndTheOutsideOfTheSensorIsBlack) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x01A7, &camera);
    ASSERT_EQ(writeTwo(*device, 0x100C, 320, 240), 0);
    EXPECT_EQ(camera->renderFrame(), camera->renderFrame());
    ASSERT_EQ(writeTwo(*device, 0x1008, 1440, 1120), 0); // 160 x 160 pixels past the edges
    const auto frame = camera->renderFrame();
    EXPECT_EQ(frame[239 * 320 + 319], 0);
    EXPECT_EQ(frame[100 * 320 + 200], 0);
    EXPECT_GT(frame[0], 0);
}

} // namespace
} // namespace qor::sim::test
