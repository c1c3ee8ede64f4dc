// The settings panel through the component calls and the grabber's settings dialog, on
// simulated cameras: dispatch, lifecycle, the installed page and its live controls.
#include "panel/panel_fixture.h"

#include "platform/memory.h"
#include "platform/misc.h"
#include "stream/stream_internal.h"
#include "stream/streaming_camera.h"
#include "vdig/vdig.h"

#include <qorvanta/camera.h>
#include <qorvanta/imaging.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <thread>

namespace qor::test {
namespace {

using namespace qor::panel;

class Panel : public PanelTest {};

TEST_F(Panel, WithoutACameraThePanelStaysUnregistered) {
    EXPECT_EQ(registerPanel(), 0);
    EXPECT_EQ(panelComponent(), nullptr);
    EXPECT_EQ(platform::SettingsDialog::open(nullptr, nullptr, nullptr), paramErr);
}

TEST_F(Panel, DispatchTablesAndCanDo) {
    ComponentDescription cd{kPanelComponentType, kPanelComponentSubType, kQorvantaManufacturer, 0,
                            0};
    Component component =
        RegisterComponent(&cd, QORASGComponentDispatch, 0, nullptr, nullptr, nullptr);
    ComponentInstance panel = nullptr;
    ASSERT_EQ(OpenAComponent(component, &panel), noErr);
    for (int16_t selector = -5; selector <= -1; ++selector)
        EXPECT_EQ(ComponentFunctionImplemented(panel, selector), 1) << selector;
    for (int16_t selector = 0x200; selector <= 0x20B; ++selector)
        EXPECT_EQ(ComponentFunctionImplemented(panel, selector), 1) << selector;
    for (int16_t selector : {-7, -6, 0, 0x100, 0x20C, 0x20D, 0x300})
        EXPECT_EQ(ComponentFunctionImplemented(panel, selector), 0) << selector;
    EXPECT_EQ(GetComponentVersion(panel), 0x00010001);
    // Unimplemented and unknown selectors are refused by the entry point.
    for (int16_t selector : {-7, -6, 0x20C, 0x20D, 0x1FF, 0x300}) {
        ComponentParameters block{};
        block.what = selector;
        block.paramSize = 8 * kComponentParamUnit;
        EXPECT_EQ(CallComponentDispatch(panel, &block), badComponentSelector) << selector;
    }
    Str255 title{};
    ASSERT_EQ(SGPanelGetTitle(panel, title), noErr);
    EXPECT_EQ(title[0], 16);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(title + 1), 16), "Qorvanta Options");
    Boolean ok = false, handled = true;
    EXPECT_EQ(SGPanelValidateInput(panel, &ok), noErr);
    EXPECT_TRUE(ok);
    short hit = 0;
    EXPECT_EQ(SGPanelEvent(panel, nullptr, nullptr, 0, nullptr, &hit, &handled), noErr);
    EXPECT_FALSE(handled);

    // One instance at a time; the globals start with no resource file.
    EXPECT_EQ(reinterpret_cast<PanelGlobals *>(*GetComponentInstanceStorage(panel))->resFile, -1);
    ComponentInstance second = nullptr;
    EXPECT_NE(OpenAComponent(component, &second), noErr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(CloseComponent(panel), noErr);
    EXPECT_EQ(UnregisterComponent(component), noErr);
}

TEST_F(Panel, ItemListComesFromTheResourceFileAndIsMissingElsewhere) {
    ComponentDescription cd{kPanelComponentType, kPanelComponentSubType, kQorvantaManufacturer, 0,
                            0};
    Component component =
        RegisterComponent(&cd, QORASGComponentDispatch, 0, nullptr, nullptr, nullptr);
    ComponentInstance panel = OpenComponent(component);
    const int16_t bundleFile =
        platform::openResourceFile(platform::bundleResourcePath(platform::kPanelResourceFile));
    ASSERT_GT(bundleFile, 0);
    const int16_t empty = platform::openResourceText("resource 'STR ' 1\n  \"x\"\nend\n");
    ASSERT_GT(empty, 0);
    Handle ditl = reinterpret_cast<Handle>(1);
    EXPECT_EQ(SGPanelSetResFile(panel, empty), noErr);
    EXPECT_NE(SGPanelGetDitl(panel, &ditl), noErr);
    EXPECT_EQ(ditl, nullptr);
    EXPECT_EQ(CurResFile(), empty);

    ASSERT_EQ(SGPanelSetResFile(panel, bundleFile), noErr);
    ASSERT_EQ(SGPanelGetDitl(panel, &ditl), noErr);
    ASSERT_NE(ditl, nullptr);
    // Detached: the caller's to dispose, and the current file is as it was.
    EXPECT_EQ(CurResFile(), empty);
    DialogRef d = platform::newDialog(Rect{50, 50, 60, 60});
    AppendDITL(d, ditl, appendDITLBottom);
    EXPECT_EQ(CountDITL(d), 49);
    DisposeDialog(d);
    DisposeHandle(ditl);
    CloseResFile(empty);
    CloseResFile(bundleFile);
    CloseComponent(panel);
    UnregisterComponent(component);
}

// A page whose item list cannot be read is not shown as an empty page: the dialog reports it.
TEST_F(Panel, AnItemListThatCannotBeReadFailsThePage) {
    auto cam = sim::attachCamera(runningCamera(0x01A8));
    std::ifstream in(platform::bundleResourcePath(platform::kPanelResourceFile));
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const size_t at = text.find("resource 'DITL' 16666");
    ASSERT_NE(at, std::string::npos);
    const size_t end = text.find("\nend", at);
    text.replace(at, end - at, "resource 'DITL' 16666\n  hex 00 05 00 00 00 00 00 0a");
    resFile = platform::openResourceText(text, "damaged page");
    ASSERT_GT(resFile, 0);
    ASSERT_EQ(RegisterComponentResourceFile(resFile, 0), 1);
    grabber = OpenDefaultSequenceGrabber();
    ASSERT_EQ(SGNewChannel(grabber, VideoMediaType, &channel), noErr);
    platform::SettingsDialog *d = nullptr;
    ASSERT_EQ(platform::SettingsDialog::open(grabber, channel, &d), noErr);
    dialog.reset(d);
    const DialogItemIndex own = CountDITL(d->dialog());
    EXPECT_NE(d->showPage(0), noErr);
    EXPECT_EQ(CountDITL(d->dialog()), own);
    EXPECT_EQ(d->pageControl(kItemSize), nullptr);
}

TEST_F(Panel, RunsOnlyOnThisDriversDigitizer) {
    openChannel(0x01A8);
    ComponentInstance panel = OpenComponent(panelComponent());
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(SGPanelCanRun(panel, nullptr), qtParamErr);
    EXPECT_EQ(SGPanelCanRun(panel, channel), noErr);

    // Another maker's digitizer on a second channel.
    ComponentDescription foreign{videoDigitizerComponentType, kQorvantaVdigSubType,
                                 fourCharCode("ACME"), 0, 0};
    Component other = RegisterComponent(
        &foreign, [](ComponentParameters *, Handle) -> ComponentResult { return noErr; }, 0,
        nullptr, nullptr, nullptr);
    SGChannel second = nullptr;
    ASSERT_EQ(SGNewChannel(grabber, VideoMediaType, &second), noErr);
    // The first digitizer is in use, so the second channel gets the foreign one.
    ASSERT_NE(SGGetVideoDigitizerComponent(second), nullptr);
    EXPECT_EQ(SGPanelCanRun(panel, second), badComponentType);
    UserData ud = nullptr;
    EXPECT_EQ(SGPanelGetSettings(panel, second, &ud, 0), badComponentType);
    EXPECT_EQ(ud, nullptr);
    SGDisposeChannel(grabber, second);
    CloseComponent(panel);
    UnregisterComponent(other);
}

TEST_F(Panel, InstallOnAMonochromeCameraDisablesTheColourControls) {
    openChannel(0x01A5);
    CameraRecord &r = record();
    ASSERT_EQ(r.colorSensor, 0);
    showPage();
    for (short n : {2, 3, 34, 37, 40, 41, 45})
        EXPECT_FALSE(IsControlEnabled(item(n))) << "item " << n;
    EXPECT_EQ(text(35), "");
    EXPECT_EQ(text(38), "");
    for (short n : {5, 6, 7, 10, 12}) EXPECT_TRUE(IsControlEnabled(item(n))) << "item " << n;
    EXPECT_EQ(text(44), "Driver Version: 2.00.00");
    EXPECT_EQ(text(47), std::string("Camera Model & S/N: ") + r.cameraName);
}

TEST_F(Panel, InstallFillsTheControlsFromTheRecord) {
    auto cam = openChannel(0x01A8);
    CameraRecord &r = record();
    cam->pokeRegister(0x0C, 0x01020304);
    atomicField(r.exposure).store(r.framePeriodUs + 5000);
    r.gain = 40;
    r.gamma = 1.0f;
    r.contrast = 1.5f;
    r.hue = -20.7f;
    r.saturation = 1.5f;
    r.colorMatrixIndex = 0;
    r.flipVertical = 1;
    showPage();
    EXPECT_EQ(text(42), "FPGA Version: 1.2");
    EXPECT_EQ(text(43), "Firmware Version: 3.4");
    // An exposure above the frame period is lowered to it, in the record too.
    EXPECT_EQ(r.exposure, r.framePeriodUs);
    EXPECT_EQ(GetControl32BitValue(item(10)), int32_t(r.framePeriodUs));
    EXPECT_EQ(GetControl32BitMaximum(item(10)), int32_t(r.framePeriodUs));
    EXPECT_EQ(GetControl32BitMinimum(item(10)), int32_t(r.exposureMin));
    EXPECT_EQ(GetControl32BitValue(item(12)), 40);
    EXPECT_EQ(text(13), " 0.01");
    EXPECT_EQ(GetControl32BitValue(item(25)), 50);
    EXPECT_EQ(GetControl32BitValue(item(31)), 100);
    EXPECT_EQ(text(32), " 1.00");
    EXPECT_EQ(GetControl32BitValue(item(34)), -20);
    EXPECT_EQ(text(35), "-20");
    EXPECT_EQ(GetControl32BitValue(item(37)), 64);
    // Hue and saturation act only on a chosen matrix.
    EXPECT_FALSE(IsControlEnabled(item(34)));
    EXPECT_FALSE(IsControlEnabled(item(37)));
    EXPECT_EQ(GetControl32BitValue(item(45)), 1);
    EXPECT_EQ(GetControlValue(item(7)), 1);
    EXPECT_EQ(GetControlValue(item(3)), r.decodeMethod == 1 ? 1 : 0);

    // The size menu: the full sensor first, then the rest of the table.
    MenuRef menu = GetControlPopupMenuHandle(item(1));
    ASSERT_EQ(CountMenuItems(menu), r.imageSizeCount);
    Str255 first;
    GetMenuItemText(menu, 1, first);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(first + 1), first[0]),
              std::to_string(r.maxWidth) + " x " + std::to_string(r.maxHeight));
    EXPECT_EQ(GetControl32BitMaximum(item(1)), r.imageSizeCount);
}

TEST_F(Panel, SlidersMapTheirValuesAndShowThem) {
    openChannel(0x01A8);
    CameraRecord &r = record();
    r.colorMatrixIndex = 1;
    showPage();
    ASSERT_TRUE(platform::dragSlider(item(34), 1));
    EXPECT_EQ(r.hue, 0.0f);
    EXPECT_EQ(text(35), "0");
    ASSERT_TRUE(platform::dragSlider(item(34), -40));
    EXPECT_EQ(r.hue, -40.0f);
    float expected[9];
    QORAGetBaseRGBCorrectionMatrix(expected, r.productID, 1);
    QORAApplyHueSatCorrectionToMatrix(expected, r.hue, r.saturation);
    EXPECT_EQ(std::memcmp(expected, r.colorMatrix, sizeof expected), 0);
    for (auto [v, s] : {std::pair{-128, 0.0f}, std::pair{0, 1.0f}, std::pair{128, 2.0f}}) {
        ASSERT_TRUE(platform::dragSlider(item(37), v));
        EXPECT_EQ(r.saturation, s);
    }
    for (auto [v, c] : {std::pair{-100, 0.0f}, std::pair{0, 1.0f}, std::pair{100, 2.0f}}) {
        ASSERT_TRUE(platform::dragSlider(item(25), v));
        EXPECT_EQ(r.contrast, c);
        EXPECT_EQ(text(26), std::to_string(v));
    }
    ASSERT_TRUE(platform::dragSlider(item(31), 100));
    EXPECT_EQ(r.gamma, 1.0f);
    EXPECT_EQ(text(32), " 1.00");
    ASSERT_TRUE(platform::dragSlider(item(12), 40));
    EXPECT_EQ(text(13), " 0.01");
    EXPECT_EQ(r.gain, 40u);
}

// A readout shows its slider's position: a record value beyond the slider's range is shown as
// the nearest end of the range, never converted as it is.
TEST_F(Panel, ReadoutsStayWithinTheSlidersRange) {
    openChannel(0x01A8);
    CameraRecord &r = record();
    r.colorMatrixIndex = 1;
    r.hue = 1.0e10f;
    r.saturation = -3.0e9f;
    r.contrast = 5.0e9f;
    r.brightness = std::numeric_limits<float>::quiet_NaN();
    r.gamma = 1.0e12f;
    showPage();
    for (auto [slider, readout] : {std::pair<short, short>{34, 35}, {37, 38}, {25, 26}, {28, 29}}) {
        const int32_t value = GetControl32BitValue(item(slider));
        EXPECT_GE(value, GetControl32BitMinimum(item(slider))) << slider;
        EXPECT_LE(value, GetControl32BitMaximum(item(slider))) << slider;
        EXPECT_EQ(text(readout), std::to_string(value)) << slider;
    }
    EXPECT_EQ(GetControl32BitValue(item(34)), 180);
    EXPECT_EQ(GetControl32BitValue(item(37)), -128);
    EXPECT_EQ(GetControl32BitValue(item(25)), 100);
    EXPECT_EQ(GetControl32BitValue(item(31)), 400);
    EXPECT_EQ(text(32), " 4.00");
}

// The frame path, run by hand on a small coloured frame while the page switches between no
// matrix and two matrices: each frame shows the matrix in force before or after the click, never
// a choice paired with the matrix of another.
TEST_F(Panel, MatrixChoiceReachesTheFramePathWithItsMatrix) {
    openChannel(0x01A8);
    CameraRecord &r = record();
    showPage();
    constexpr uint32_t kSide = 4;
    r.rawWidth = r.rawHeight = kSide;
    r.destRowBytes = kSide * 4;
    r.flipHorizontal = r.flipVertical = 0;
    r.saturationMarkOn = 0;
    using Picture = std::array<uint8_t, kSide * kSide * 4>;
    auto decode = [&r] {
        // Unequal values in the four cells of the mosaic: a coloured picture, which the matrices
        // change.
        std::array<uint8_t, kSide * kSide> raw;
        for (uint32_t y = 0; y < kSide; ++y)
            for (uint32_t x = 0; x < kSide; ++x)
                raw[y * kSide + x] = uint8_t(40 + 60 * (x % 2) + 110 * (y % 2));
        Picture picture{};
        stream::decodeFrame(r, raw.data(), picture.data());
        return picture;
    };
    auto choose = [&](int matrix) {
        ASSERT_TRUE(platform::choosePopupItem(item(45), matrix + 1));
        ASSERT_EQ(dialog->clickItem(45), noErr);
    };
    // The pictures of no matrix, matrix 1 and matrix 2.
    std::array<Picture, 3> pictures;
    for (int matrix : {1, 0, 2}) {
        choose(matrix);
        pictures[size_t(matrix)] = decode();
    }
    ASSERT_NE(pictures[0], pictures[1]);
    ASSERT_NE(pictures[0], pictures[2]);
    ASSERT_NE(pictures[1], pictures[2]);

    // The two pictures a frame may show now, as 3 x before + after.
    std::atomic<int> allowed{2 * 3 + 2}, seen{2};
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread frames([&] {
        while (!done.load()) {
            const Picture picture = decode();
            // Read after the frame: a click can only have moved on from what the frame showed
            // once this thread reported that picture.
            const int expected = allowed.load();
            int which = -1;
            for (int k = 0; k < 3; ++k)
                if (picture == pictures[size_t(k)]) which = k;
            if (which != expected / 3 && which != expected % 3) wrong.fetch_add(1);
            seen.store(which);
        }
    });
    auto waitFor = [&](int picture) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (seen.load() != picture && std::chrono::steady_clock::now() < end)
            std::this_thread::yield();
        return seen.load() == picture;
    };
    int shown = 2;
    for (int step = 0; step < 800 && wrong.load() == 0; ++step) {
        // Alternately no matrix and a matrix, the matrices in turn: choosing a matrix after no
        // matrix replaces the matrix left from the choice before.
        const int next = step % 2 == 0 ? 0 : (step / 2) % 2 == 0 ? 1 : 2;
        allowed.store(3 * shown + next);
        choose(next);
        if (!waitFor(next)) break;
        shown = next;
    }
    done.store(true);
    frames.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(seen.load(), shown);
}

TEST_F(Panel, ExposureSliderRoundsByTheChosenSteps) {
    auto cam = openChannel(0x01A8);
    CameraRecord &r = record();
    r.allowSlowFrames = 1; // a frame period long enough for the values below
    r.framePeriodUs = 500000;
    showPage();
    struct Case {
        uint16_t mode;
        int32_t slider;
        uint32_t sent;
        const char *shown;
    };
    for (Case c : {Case{1, 12000, 8333, " 8.33 ms"}, Case{2, 12000, 10000, "10.00 ms"},
                   Case{3, 12000, 12000, "12.00 ms"}, Case{2, 4000, 0, " 0.00 ms"}}) {
        r.exposureRoundingMode = c.mode;
        SetControl32BitMinimum(item(10), 0);
        cam->clearTransferLog();
        ASSERT_TRUE(platform::dragSlider(item(10), c.slider));
        EXPECT_EQ(r.exposure, c.sent);
        EXPECT_EQ(text(11), c.shown);
        EXPECT_EQ(GetControl32BitValue(item(10)), c.slider); // the slider keeps its position
        bool sent = false;
        for (const auto &w : registerWrites(cam->transferLog()))
            sent |= w.reg == 0x04A4 && w.value() == c.sent;
        EXPECT_TRUE(sent) << c.mode;
    }
    // A failed write shows its error.
    cam->failRegister(0x04F4, sim::Direction::Write, kIOReturnNotResponding, -1);
    ASSERT_TRUE(platform::dragSlider(item(12), 5000));
    char expected[32];
    std::snprintf(expected, sizeof expected, "err 0x%X", uint32_t(kIOReturnNotResponding));
    EXPECT_EQ(text(13), expected);
}

TEST_F(Panel, ItemsChangeTheRecordAndTheCamera) {
    auto cam = openChannel(0x01A8);
    CameraRecord &r = record();
    showPage();
    platform::SettingsDialog &d = *dialog;
    const uint8_t flip = r.flipHorizontal;
    ASSERT_EQ(d.clickItem(6), noErr);
    EXPECT_EQ(r.flipHorizontal, flip ? 0 : 1);
    EXPECT_EQ(GetControlValue(item(6)), r.flipHorizontal);
    ASSERT_EQ(d.clickItem(2), noErr);
    EXPECT_EQ(r.decodeMethod, 0u);
    EXPECT_EQ(GetControlValue(item(2)), 1);
    EXPECT_EQ(GetControlValue(item(3)), 0);

    // No matrix: hue and saturation off; a matrix again: on, and the matrix rebuilt.
    ASSERT_TRUE(platform::choosePopupItem(item(45), 1));
    ASSERT_EQ(d.clickItem(45), noErr);
    EXPECT_EQ(r.colorMatrixIndex, 0);
    EXPECT_FALSE(IsControlEnabled(item(34)));
    r.hue = 30.0f;
    ASSERT_TRUE(platform::choosePopupItem(item(45), 3));
    ASSERT_EQ(d.clickItem(45), noErr);
    EXPECT_EQ(r.colorMatrixIndex, 2);
    EXPECT_TRUE(IsControlEnabled(item(34)));
    float expected[9];
    QORAGetBaseRGBCorrectionMatrix(expected, r.productID, 2);
    QORAApplyHueSatCorrectionToMatrix(expected, 30.0f, r.saturation);
    EXPECT_EQ(std::memcmp(expected, r.colorMatrix, sizeof expected), 0);

    // The first size is the whole sensor at the origin, unsubsampled.
    ASSERT_TRUE(platform::choosePopupItem(item(1), 1));
    ASSERT_EQ(d.clickItem(1), noErr);
    EXPECT_EQ(r.imageWidth, r.maxWidth);
    EXPECT_EQ(r.imageHeight, r.maxHeight);
    EXPECT_EQ(r.windowLeft, 0);
    EXPECT_EQ(r.windowTop, 0);
    EXPECT_EQ(r.subSampleX, 1);
    EXPECT_EQ(r.rawWidth, r.maxWidth); // the digitizer was told
    EXPECT_EQ(GetControl32BitMaximum(item(10)), int32_t(r.framePeriodUs));

    // Cooling at -15 C.
    cam->clearTransferLog();
    ASSERT_EQ(d.clickItem(49), noErr);
    EXPECT_EQ(GetControlValue(item(49)), 1);
    EXPECT_EQ(r.coolingOn, 1);

    // Automatic exposure disables the slider, manual enables it and sends the exposure again.
    if (r.exposureAutoSupported) {
        ASSERT_EQ(d.clickItem(9), noErr);
        EXPECT_EQ(r.exposureAutoOn, 1);
        EXPECT_FALSE(IsControlEnabled(item(10)));
        ASSERT_EQ(d.clickItem(9), noErr);
        EXPECT_TRUE(IsControlEnabled(item(10)));
    }

    // The target colour comes from the picker; cancelled, it stays.
    platform::setColorPicker([](const std::string &prompt, const RGBColor &, RGBColor *out) {
        EXPECT_EQ(prompt, "Select a Font Color:");
        *out = RGBColor{0x1000, 0x2000, 0x3000};
        return true;
    });
    ASSERT_EQ(d.clickItem(41), noErr);
    EXPECT_EQ(r.balanceTargetColor.blue, 0x3000);
    platform::setColorPicker({});
    ASSERT_EQ(d.clickItem(41), noErr);
    EXPECT_EQ(r.balanceTargetColor.blue, 0x3000);
}

TEST_F(Panel, WindowIsFittedOntoTheDesktop) {
    openChannel(0x01A8);
    // A desktop that neither holds the window's corner nor its size.
    platform::setDesktopBounds(Rect{200, 300, 400, 500});
    showPage();
    const Rect bounds = platform::windowGlobalBounds(GetDialogWindow(dialog->dialog()));
    platform::resetDesktopBounds();
    EXPECT_EQ(bounds.left, 304);
    EXPECT_EQ(bounds.top, 232);
    EXPECT_EQ(bounds.right - bounds.left, 200);
    EXPECT_EQ(bounds.bottom - bounds.top, 200);
}

TEST_F(Panel, GreenSliderWritesOnlyTheGreensTheCameraHas) {
    auto cam = openChannel(0x01A8);
    CameraRecord &r = record();
    r.green1GainSupported = 0;
    const uint32_t green1 = r.green1Gain;
    showPage();
    EXPECT_EQ(GetControl32BitMaximum(item(19)), int32_t(r.green2GainMax));
    cam->clearTransferLog();
    ASSERT_TRUE(platform::dragSlider(item(19), 100));
    EXPECT_EQ(r.green2Gain, 100u);
    EXPECT_EQ(r.green1Gain, green1);
    for (const auto &w : registerWrites(cam->transferLog())) EXPECT_NE(w.reg, 0x0514);
}

TEST_F(Panel, SaturationMarkOnAMonochromeCameraRebuildsTheGreyTable) {
    openChannel(0x01A5);
    ASSERT_EQ(SGStartPreview(grabber), noErr);
    SGStop(grabber);
    showPage();
    ASSERT_EQ(record().saturationMarkOn, 0);
    ASSERT_EQ(dialog->clickItem(5), noErr);
    EXPECT_EQ(GetControlValue(item(5)), 1);
    auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
    ASSERT_EQ(SGGetChannelSampleDescription(channel, reinterpret_cast<Handle>(desc)), noErr);
    CTabHandle table = nullptr;
    ASSERT_EQ(GetImageDescriptionCTable(desc, &table), noErr);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ((*table)->ctTable[250].rgb.red, 0xFFFF);
    EXPECT_EQ((*table)->ctTable[250].rgb.green, 0);
    DisposeHandle(reinterpret_cast<Handle>(table));
    DisposeHandle(reinterpret_cast<Handle>(desc));
}

TEST_F(Panel, ColourBalanceFromThePageConvergesOnTheScene) {
    openChannel(0x01A8);
    CameraRecord &r = record();
    r.balanceTargetColor = RGBColor{0xFFFF, 0xFFFF, 0xFFFF};
    ASSERT_EQ(SGStartPreview(grabber), noErr);
    showPage();
    ASSERT_EQ(dialog->clickItem(40), noErr);
    EXPECT_EQ(atomicField(r.colorBalanceActive).load(), 0);
    // The sliders show what the balance left, and the camera has it.
    EXPECT_EQ(GetControl32BitValue(item(16)), int32_t(r.redGain));
    EXPECT_EQ(GetControl32BitValue(item(22)), int32_t(r.blueGain));
    const int red = r.frameAvgR, green = r.frameAvgG, blue = r.frameAvgB;
    EXPECT_EQ(r.redBalanceState, 1);
    EXPECT_EQ(r.blueBalanceState, 1);
    EXPECT_NEAR(red, green, 7);
    EXPECT_NEAR(blue, green, 7);
    SGStop(grabber);
}

TEST_F(Panel, ColourBalanceWaitEndsWhenNoFramesArrive) {
    openChannel(0x01A8);
    CameraRecord &r = record();
    const uint32_t red = r.redGain;
    showPage();
    // No capture runs: the balance never sees a frame.
    ASSERT_EQ(dialog->clickItem(40), noErr);
    EXPECT_EQ(atomicField(r.colorBalanceActive).load(), 0);
    EXPECT_EQ(r.redGain, red);
    EXPECT_EQ(GetControl32BitValue(item(16)), int32_t(red));
}

TEST_F(Panel, RemoveCancelsARunningBalanceAndReleasesTheProcedures) {
    openChannel(0x01A8);
    CameraRecord &r = record();
    const long before = platform::liveControlActionUPPs();
    showPage();
    EXPECT_EQ(platform::liveControlActionUPPs() - before, 10);
    r.redBalanceState = 0;
    closeDialog();
    EXPECT_EQ(r.redBalanceState, 0); // no balance ran: untouched
    EXPECT_EQ(platform::liveControlActionUPPs(), before);
    showPage();
    atomicField(r.colorBalanceActive).store(1);
    closeDialog();
    EXPECT_EQ(r.redBalanceState, -1);
    EXPECT_EQ(r.blueBalanceState, -1);
    atomicField(r.colorBalanceActive).store(0);
}

} // namespace
} // namespace qor::test
