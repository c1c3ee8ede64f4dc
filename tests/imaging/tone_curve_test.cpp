// The tone curve as the camera receives it.
#include "support/sim_camera.h"

#include <qorvanta/camera.h>

#include <gtest/gtest.h>

using namespace qor;

namespace {

class ToneCurve : public test::SimTest {
protected:
    // The table sent by one call, checking the control write that must come first.
    std::vector<uint8_t> tableSent(test::OpenCamera &cam, double c, double b, double g) {
        cam.sim().clearTransferLog();
        EXPECT_EQ(QORAApplyContrastBrightGammaLUT(cam.handle(), c, b, g), 0);
        auto writes = test::registerWrites(cam.sim().transferLog());
        EXPECT_EQ(writes.size(), 2u);
        if (writes.size() != 2) return {};
        EXPECT_EQ(writes[0].reg, 0x4FFC);
        EXPECT_EQ(writes[0].value(), 0u);
        EXPECT_EQ(writes[1].reg, 0x5000);
        return writes[1].data;
    }
    const sim::ModelProfile *toneCurveModel() {
        for (const auto &m : sim::modelProfiles())
            if (m.toneCurve && m.hasFpga) return &m;
        return nullptr;
    }
};

TEST_F(ToneCurve, NeutralSettingsSendTheZeroWordNotAnIdentityTable) {
    test::OpenCamera cam(test::runningCamera(toneCurveModel()->productID));
    EXPECT_EQ(tableSent(cam, 1.0, 0.0, 1.0), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_TRUE(cam.sim().toneCurve().empty());
}

TEST_F(ToneCurve, GammaTwoRaisesTheMidtones) {
    test::OpenCamera cam(test::runningCamera(toneCurveModel()->productID));
    std::vector<uint8_t> table = tableSent(cam, 1.0, 0.0, 2.0);
    ASSERT_EQ(table.size(), 256u);
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[64], 127); // trunc(sqrt(255) x sqrt(64))
    EXPECT_EQ(table[255], 255);
    for (int i = 1; i < 256; ++i) EXPECT_GE(table[i], table[i - 1]) << i;
    EXPECT_EQ(cam.sim().toneCurve(), table);
}

TEST_F(ToneCurve, ContrastTwoClipsBothEnds) {
    test::OpenCamera cam(test::runningCamera(toneCurveModel()->productID));
    std::vector<uint8_t> table = tableSent(cam, 2.0, 0.0, 1.0);
    ASSERT_EQ(table.size(), 256u);
    for (int i = 0; i <= 64; ++i) EXPECT_EQ(table[i], 0) << i;
    for (int i = 192; i < 256; ++i) EXPECT_EQ(table[i], 255) << i;
    EXPECT_EQ(table[128], 128);
}

TEST_F(ToneCurve, FullBrightnessSaturatesEverything) {
    test::OpenCamera cam(test::runningCamera(toneCurveModel()->productID));
    std::vector<uint8_t> table = tableSent(cam, 1.0, 100.0, 1.0);
    ASSERT_EQ(table.size(), 256u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(table[i], 255) << i;
}

TEST_F(ToneCurve, ExtremeGammasUseTheLimitedExponents) {
    test::OpenCamera cam(test::runningCamera(toneCurveModel()->productID));
    // Exponent 100: 255 x (i / 255)^100 keeps only the top of the range.
    std::vector<uint8_t> low = tableSent(cam, 1.0, 0.0, 0.005);
    ASSERT_EQ(low.size(), 256u);
    EXPECT_EQ(low[200], 0);
    EXPECT_EQ(low[250], 35);
    EXPECT_EQ(low[255], 255);
    // Exponent 0.2: trunc(255^0.8 x 1^0.2) = 84 at level 1.
    std::vector<uint8_t> high = tableSent(cam, 1.0, 0.0, 7.0);
    ASSERT_EQ(high.size(), 256u);
    EXPECT_EQ(high[1], 84);
}

TEST_F(ToneCurve, ControlWriteFailureSendsNoTable) {
    test::OpenCamera cam(test::runningCamera(toneCurveModel()->productID));
    cam.sim().failRegister(0x4FFC, sim::Direction::Write, kIOReturnOverrun);
    EXPECT_EQ(QORAApplyContrastBrightGammaLUT(cam.handle(), 1.0, 0.0, 2.0), kIOReturnOverrun);
    auto writes = test::registerWrites(cam.sim().transferLog());
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].reg, 0x4FFC);
    EXPECT_EQ(QORAApplyContrastBrightGammaLUT(nullptr, 1.0, 0.0, 1.0), kIOReturnNoDevice);
}

} // namespace
