// The panel's saved settings: the 114-byte block made from the record, and applied back.
#include "panel/panel_fixture.h"

#include "platform/memory.h"
#include "stream/streaming_camera.h"
#include "vdig/vdig.h"

#include <qorvanta/camera.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace qor::test {
namespace {

using namespace qor::panel;

class PanelSettings : public PanelTest {
protected:
    ComponentInstance openPanel() {
        panel = OpenComponent(panelComponent());
        EXPECT_NE(panel, nullptr);
        SGPanelSetGrabber(panel, grabber);
        return panel;
    }
    void TearDown() override {
        if (panel) CloseComponent(panel);
        PanelTest::TearDown();
    }
    std::vector<uint8_t> getBlock() {
        UserData ud = nullptr;
        EXPECT_EQ(SGPanelGetSettings(panel, channel, &ud, 0), noErr);
        Handle h = NewHandle(0);
        EXPECT_EQ(PutUserDataIntoHandle(ud, h), noErr);
        std::vector<uint8_t> bytes(*h, *h + GetHandleSize(h));
        DisposeHandle(h);
        DisposeUserData(ud);
        return bytes;
    }
    ComponentResult setBlock(const std::vector<uint8_t> &bytes) {
        Handle h = NewHandle(Size(bytes.size()));
        std::memcpy(*h, bytes.data(), bytes.size());
        UserData ud = nullptr;
        EXPECT_EQ(NewUserDataFromHandle(h, &ud), noErr);
        DisposeHandle(h);
        ComponentResult result = SGPanelSetSettings(panel, channel, ud, 0);
        DisposeUserData(ud);
        return result;
    }
    static uint32_t get32(const std::vector<uint8_t> &b, size_t at) {
        return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 |
               b[at + 3];
    }
    static uint16_t get16(const std::vector<uint8_t> &b, size_t at) {
        return uint16_t(b[at] << 8 | b[at + 1]);
    }
    static void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (24 - 8 * i));
    }
    static float getFloat(const std::vector<uint8_t> &b, size_t at) {
        return std::bit_cast<float>(get32(b, at));
    }
    ComponentInstance panel = nullptr;
};

TEST_F(PanelSettings, BlockHoldsTheRecordBigEndian) {
    openChannel(0x01A8);
    openPanel();
    CameraRecord &r = record();
    r.gain = 0x01020304;
    r.hue = 12.5f;
    r.flipHorizontal = 1;
    r.exposureRoundingMode = 2;
    r.balanceTargetColor = {0x1111, 0x2222, 0x3333};
    const std::vector<uint8_t> b = getBlock();
    ASSERT_EQ(b.size(), 114u);
    EXPECT_EQ(get32(b, 0), 0x00010000u);
    EXPECT_EQ(get16(b, 4), r.windowLeft);
    EXPECT_EQ(get16(b, 8), r.imageWidth / r.subSampleX);
    EXPECT_EQ(get16(b, 12), r.subSampleX);
    EXPECT_EQ(get32(b, 22), 0x01020304u);
    EXPECT_EQ(b[22], 0x01);
    EXPECT_EQ(getFloat(b, 44), 12.5f);
    EXPECT_EQ(get16(b, 66), 0x2222);
    EXPECT_EQ(b[70], 1);
    EXPECT_EQ(b[75], 2);
    for (size_t i = 77; i < 114; ++i) EXPECT_EQ(b[i], 0) << i;
}

TEST_F(PanelSettings, SavedSettingsComeBackExactly) {
    openChannel(0x01A8);
    openPanel();
    CameraRecord &r = record();
    // A subsampled size, and settings away from the defaults.
    uint32_t w = 0, h = 0;
    uint8_t sub = 0;
    uint32_t selector = 0;
    for (; selector < r.imageSizeCount; ++selector) {
        QORASelectorToImageSizeSubSample(cameraHandle(), selector, &w, &h, &sub);
        if (sub) break;
    }
    applySizeSelector(cameraHandle(), selector);
    r.exposure = r.exposureMin + 100;
    r.gain = (r.gainMin + r.gainMax) / 2;
    r.redGain = r.redGainMin + 1;
    r.blueGain = r.blueGainMax - 1;
    r.colorMatrixIndex = 2;
    r.hue = 15.0f;
    r.saturation = 1.25f;
    r.gamma = 1.5f;
    r.brightness = 10.0f;
    r.contrast = 0.75f;
    r.flipVertical = 1;
    r.saturationMarkOn = 1;
    r.decodeMethod = 0;
    r.exposureRoundingMode = 3;
    r.balanceTargetColor = {0x8000, 0x9000, 0xA000};
    const std::vector<uint8_t> saved = getBlock();
    const CameraRecord before = r;

    // Everything changed, then restored.
    applySizeSelector(cameraHandle(), 0);
    r.gain = r.gainMin;
    r.hue = 0;
    r.colorMatrixIndex = 0;
    r.flipVertical = 0;
    r.gamma = 1.0f;
    ASSERT_EQ(setBlock(saved), noErr);
    EXPECT_EQ(r.imageWidth, before.imageWidth);
    EXPECT_EQ(r.imageHeight, before.imageHeight);
    EXPECT_EQ(r.subSampleX, before.subSampleX);
    EXPECT_EQ(r.windowLeft, before.windowLeft);
    EXPECT_EQ(r.gain, before.gain);
    EXPECT_EQ(r.redGain, before.redGain);
    EXPECT_EQ(r.blueGain, before.blueGain);
    EXPECT_EQ(r.colorMatrixIndex, 2);
    EXPECT_EQ(r.hue, 15.0f);
    EXPECT_EQ(r.saturation, 1.25f);
    EXPECT_EQ(r.gamma, 1.5f);
    EXPECT_EQ(r.brightness, 10.0f);
    EXPECT_EQ(r.contrast, 0.75f);
    EXPECT_EQ(r.flipVertical, 1);
    EXPECT_EQ(r.saturationMarkOn, 1);
    EXPECT_EQ(r.decodeMethod, 0u);
    EXPECT_EQ(r.exposureRoundingMode, 3);
    EXPECT_EQ(r.balanceTargetColor.blue, 0xA000);
    EXPECT_EQ(r.imageSettingsChanged, 0); // the digitizer was told and rebuilt
    EXPECT_EQ(r.rawWidth, uint32_t(r.imageWidth / r.subSampleX));
    // Saving again gives the same block.
    EXPECT_EQ(getBlock(), saved);
}

TEST_F(PanelSettings, MonochromeBlockOnAColourCamera) {
    openChannel(0x01A8);
    openPanel();
    CameraRecord &r = record();
    std::vector<uint8_t> b = getBlock();
    // As a monochrome camera saves it.
    for (size_t at : {42, 44, 45, 46, 47, 48, 49, 50, 51}) b[at] = 0;
    for (size_t at = 64; at < 70; ++at) b[at] = 0xFF;
    b[72] = 0;
    r.hue = 5.0f;
    r.colorMatrixIndex = 3;
    ASSERT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.hue, 0.0f);
    EXPECT_EQ(r.saturation, 0.0f);
    EXPECT_EQ(r.colorMatrixIndex, 0);
    EXPECT_EQ(r.decodeMethod, 0u);
    EXPECT_EQ(r.balanceTargetColor.red, 0xFFFF);
    EXPECT_EQ(r.balanceTargetColor.blue, 0xFFFF);
}

TEST_F(PanelSettings, ExposureWithoutAControlClampsToTheFramePeriod) {
    openChannel(0x01A8);
    openPanel();
    CameraRecord &r = record();
    std::vector<uint8_t> b = getBlock();
    put32(b, 18, 0xFFFFFFFF);
    ASSERT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.exposure, r.framePeriodUs);
    put32(b, 18, 0);
    ASSERT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.exposure, r.exposureMin);
}

TEST_F(PanelSettings, WrongSizeOrVersionChangesNothing) {
    auto cam = openChannel(0x01A8);
    openPanel();
    CameraRecord &r = record();
    std::vector<uint8_t> b = getBlock();
    std::vector<uint8_t> shorter(b.begin(), b.end() - 1);
    r.gain = r.gainMin;
    cam->clearTransferLog();
    EXPECT_EQ(setBlock(shorter), qtParamErr);
    put32(b, 0, 0x00020000);
    EXPECT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.gain, r.gainMin);
    EXPECT_TRUE(registerWrites(cam->transferLog()).empty());
    EXPECT_EQ(SGPanelSetSettings(panel, channel, nullptr, 0), qtParamErr);
    EXPECT_EQ(SGPanelSetSettings(panel, nullptr, nullptr, 0), qtParamErr);
}

// Values no page could have saved (not numbers, or choices the page does not offer) mark a
// damaged block: it is refused whole, before anything reaches the record or the camera.
TEST_F(PanelSettings, DamagedBlocksAreRefusedWhole) {
    auto cam = openChannel(0x01A8);
    openPanel();
    CameraRecord &r = record();
    const std::vector<uint8_t> sound = getBlock();
    struct Damage {
        const char *what;
        size_t at;
        uint32_t bits; // a 32-bit field, or one byte when `byte` is set
        bool byte;
    };
    const uint32_t nan = std::bit_cast<uint32_t>(std::numeric_limits<float>::quiet_NaN());
    const uint32_t inf = std::bit_cast<uint32_t>(std::numeric_limits<float>::infinity());
    for (Damage d :
         {Damage{"NaN hue", 44, nan, false}, Damage{"NaN saturation", 48, nan, false},
          Damage{"NaN gamma", 52, nan, false}, Damage{"-inf brightness", 56, inf | 1u << 31, false},
          Damage{"inf contrast", 60, inf, false}, Damage{"NaN contrast", 60, nan, false},
          Damage{"rounding mode 0", 75, 0, true}, Damage{"rounding mode 9", 75, 9, true},
          Damage{"decode method 2", 72, 2, true}}) {
        std::vector<uint8_t> b = sound;
        b[70] = r.flipHorizontal ? 0 : 1;
        if (d.byte)
            b[d.at] = uint8_t(d.bits);
        else
            put32(b, d.at, d.bits);
        const uint8_t flip = r.flipHorizontal;
        cam->clearTransferLog();
        EXPECT_EQ(setBlock(b), qtParamErr) << d.what;
        EXPECT_EQ(r.flipHorizontal, flip) << d.what;
        EXPECT_TRUE(registerWrites(cam->transferLog()).empty()) << d.what;
    }
    // Matrix indices run from 0 (none) to 5.
    std::vector<uint8_t> b = sound;
    b[42] = 0;
    b[43] = 9;
    EXPECT_EQ(setBlock(b), qtParamErr);
    EXPECT_EQ(r.colorMatrixIndex, 0);
    b[43] = 5;
    EXPECT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.colorMatrixIndex, 5);
    // The tone curve is still the one last applied: finite, not all zero.
    EXPECT_TRUE(std::isfinite(r.contrast));
}

// Numbers beyond what the page's sliders reach are held to the slider's range, so that the page
// shows what the camera and the frame path use.
TEST_F(PanelSettings, OutOfRangeNumbersAreHeldToTheControlsRange) {
    openChannel(0x01A8);
    openPanel();
    CameraRecord &r = record();
    std::vector<uint8_t> b = getBlock();
    b[43] = 1; // a matrix, so that hue and saturation act
    auto putFloat = [&](size_t at, float v) { put32(b, at, std::bit_cast<uint32_t>(v)); };
    putFloat(44, 1.0e30f);
    putFloat(48, 7.0f);
    putFloat(52, 100.0f);
    putFloat(56, -5000.0f);
    putFloat(60, 3.0e9f);
    ASSERT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.hue, 180.0f);
    EXPECT_EQ(r.saturation, 2.0f);
    EXPECT_EQ(r.gamma, 4.0f);
    EXPECT_EQ(r.brightness, -100.0f);
    EXPECT_EQ(r.contrast, 2.0f);
    float expected[9];
    QORAGetBaseRGBCorrectionMatrix(expected, r.productID, 1);
    QORAApplyHueSatCorrectionToMatrix(expected, 180.0f, 2.0f);
    EXPECT_EQ(std::memcmp(expected, r.colorMatrix, sizeof expected), 0);

    putFloat(44, -400.0f);
    putFloat(48, -1.0f);
    putFloat(52, -2.0f);
    putFloat(56, 1.0e20f);
    putFloat(60, -0.5f);
    ASSERT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.hue, -180.0f);
    EXPECT_EQ(r.saturation, 0.0f);
    EXPECT_EQ(r.gamma, 0.0f);
    EXPECT_EQ(r.brightness, 100.0f);
    EXPECT_EQ(r.contrast, 0.0f);

    // The page shows these values on its sliders and readouts.
    CloseComponent(panel);
    panel = nullptr;
    showPage();
    EXPECT_EQ(GetControl32BitValue(item(34)), -180);
    EXPECT_EQ(text(35), "-180");
    EXPECT_EQ(GetControl32BitValue(item(28)), 100);
    EXPECT_EQ(text(29), "100");
    EXPECT_EQ(GetControl32BitValue(item(25)), -100);
    EXPECT_EQ(text(26), "-100");
}

TEST_F(PanelSettings, LargerThanTheSensorKeepsTheSizeButReappliesTheGeometry) {
    auto cam = openChannel(0x01A8);
    openPanel();
    CameraRecord &r = record();
    std::vector<uint8_t> b = getBlock();
    b[8] = 0x7F; // width far beyond the sensor
    const uint16_t width = r.imageWidth;
    cam->clearTransferLog();
    ASSERT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.imageWidth, width);
    bool window = false;
    for (const auto &w : registerWrites(cam->transferLog())) window |= w.reg == 0x100C;
    EXPECT_TRUE(window);
}

TEST_F(PanelSettings, SlowFramesChooseTheFirstRateAndNeedAnExposureControl) {
    openChannel(0x019A);
    openPanel();
    CameraRecord &r = record();
    std::vector<uint8_t> b = getBlock();
    b[74] = 1;
    ASSERT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.allowSlowFrames, 1);
    EXPECT_EQ(r.dataRateKB, r.dataRateTable[0]);
    b[74] = 0;
    ASSERT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.dataRateKB, r.dataRateTable[r.dataRateCount - 1]);
    EXPECT_LE(r.framePeriodMs, 500.0);
    // Without an exposure control slow frames stay off.
    r.exposureSupported = 0;
    b[74] = 1;
    ASSERT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.allowSlowFrames, 0);
}

// A failure while applying the geometry skips the timing, but the exposure step still runs and
// its success lets the rest follow; a failed exposure write stops the rest.
TEST_F(PanelSettings, FailuresStopTheStepsInOrder) {
    auto cam = openChannel(0x01A8);
    openPanel();
    CameraRecord &r = record();
    std::vector<uint8_t> b = getBlock();
    b[70] = 1;
    const double period = r.framePeriodMs;
    r.flipHorizontal = 0;
    cam->failRegister(0x100C, sim::Direction::Write, kIOReturnNotResponding, 1);
    EXPECT_EQ(setBlock(b), noErr);
    EXPECT_EQ(r.framePeriodMs, period);
    EXPECT_EQ(r.flipHorizontal, 1);

    // Without an exposure control nothing replaces the geometry's error: the rest is skipped.
    r.exposureSupported = 0;
    r.flipHorizontal = 0;
    cam->failRegister(0x100C, sim::Direction::Write, kIOReturnNotResponding, 1);
    EXPECT_NE(setBlock(b), noErr);
    EXPECT_EQ(r.flipHorizontal, 0);
    r.exposureSupported = 1;

    cam->failRegister(0x04A4, sim::Direction::Write, kIOReturnNotResponding, -1);
    EXPECT_NE(setBlock(b), noErr);
    EXPECT_EQ(r.flipHorizontal, 0);
}

TEST_F(PanelSettings, TheGrabberKeepsEachPanelsSettingsWithTheChannel) {
    openChannel(0x01A8);
    CameraRecord &r = record();
    r.flipVertical = 1;
    UserData all = nullptr;
    ASSERT_EQ(SGGetChannelSettings(grabber, channel, &all, 0), noErr);
    EXPECT_EQ(CountUserDataType(all, kQorvantaManufacturer), 1);
    Handle block = NewHandle(0);
    ASSERT_EQ(GetUserData(all, block, kQorvantaManufacturer, 1), noErr);
    EXPECT_EQ(GetHandleSize(block), 114);
    DisposeHandle(block);
    r.flipVertical = 0;
    ASSERT_EQ(SGSetChannelSettings(grabber, channel, all, 0), noErr);
    EXPECT_EQ(r.flipVertical, 1);
    DisposeUserData(all);
    // The panels were closed again: one can open now.
    ComponentInstance again = OpenComponent(panelComponent());
    EXPECT_NE(again, nullptr);
    if (again) CloseComponent(again);
}

// Each panel the grabber opens for a request is given its own copy of the panel's resource file;
// the grabber closes it with the panel.
TEST_F(PanelSettings, TheGrabberClosesTheResourceFilesItOpensForPanels) {
    openChannel(0x01A8);
    // A file opened and closed at once: its reference bounds those opened before and after.
    auto probe = [] {
        const int16_t current = CurResFile();
        const int16_t ref = platform::openResourceText("resource 'STR ' 1\n  \"x\"\nend\n");
        CloseResFile(ref);
        UseResFile(current);
        return ref;
    };
    const int16_t first = probe();
    for (int cycle = 0; cycle < 3; ++cycle) {
        UserData all = nullptr;
        ASSERT_EQ(SGGetChannelSettings(grabber, channel, &all, 0), noErr);
        ASSERT_EQ(SGSetChannelSettings(grabber, channel, all, 0), noErr);
        DisposeUserData(all);
        showPage();
        closeDialog();
    }
    const int16_t last = probe();
    EXPECT_GT(last - first, 1) << "no panel was opened";
    const int16_t current = CurResFile();
    int stillOpen = 0;
    for (int16_t ref = int16_t(first + 1); ref < last; ++ref) {
        UseResFile(ref);
        if (ResError() == noErr) ++stillOpen;
    }
    UseResFile(current);
    EXPECT_EQ(stillOpen, 0);
}

} // namespace
} // namespace qor::test
