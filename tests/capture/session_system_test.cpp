// The capture session's system: bring-up over simulated cameras, the cameras' identity as the
// list gives it, opening a camera by name, serial or index, and settings through the page.
#include "capture/session_fixture.h"

#include "usb/bus_inventory.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>

namespace qor::test {
namespace {

using SessionSystem = SessionTest;

TEST_F(SessionSystem, ListsEachCameraWithItsIdentity) {
    bringUp({runningCamera(kSmallColourModel, "C0LOUR7"), runningCamera(kSmallMonoModel, "M0N0"),
             runningCamera(kCooledColourModel, "COOL42")});
    if (HasFatalFailure()) return;
    const std::vector<capture::CameraInfo> &cameras = system->cameras();
    ASSERT_EQ(cameras.size(), 3u);
    std::map<uint16_t, capture::CameraInfo> byModel;
    for (size_t i = 0; i < cameras.size(); ++i) {
        EXPECT_EQ(cameras[i].index, i);
        byModel[cameras[i].productID] = cameras[i];
    }
    for (const auto &s : sims) {
        const capture::CameraInfo &c = byModel[s->model().productID];
        EXPECT_EQ(c.name, s->model().productName + std::string("-") + s->serial());
        EXPECT_EQ(c.serial, s->serial());
        EXPECT_EQ(c.width, s->model().sensorWidth);
        EXPECT_EQ(c.height, s->model().sensorHeight);
        EXPECT_EQ(c.cooled, s->model().cooled);
        EXPECT_TRUE(c.simulated);
        EXPECT_EQ(c.locationID, s->locationID());
        EXPECT_EQ(c.where, usb::busAndPort(s->locationID()));
    }
    const capture::CameraInfo &mono = byModel[kSmallMonoModel];
    EXPECT_FALSE(mono.colour);
    EXPECT_EQ(mono.sensor, "monochrome");
    EXPECT_EQ(mono.mosaic, capture::MosaicPhase::None);
    for (uint16_t colour : {kSmallColourModel, kCooledColourModel}) {
        const capture::CameraInfo &c = byModel[colour];
        EXPECT_TRUE(c.colour);
        EXPECT_NE(c.mosaic, capture::MosaicPhase::None);
        EXPECT_EQ(c.sensor, capture::mosaicName(c.mosaic));
    }

    // The bus list names the same cameras, registered.
    const std::vector<usb::AttachedCamera> bus = system->bus();
    ASSERT_EQ(bus.size(), 3u);
    for (const usb::AttachedCamera &a : bus) EXPECT_EQ(a.state, usb::BringUpState::Registered);
}

TEST_F(SessionSystem, SerialIsTheDevicesStringEvenWhenTheNameHasADash) {
    // A serial with a dash cannot be told from the name's "product-serial" by splitting it.
    bringUp({runningCamera(kSmallMonoModel, "AB-12")});
    if (HasFatalFailure()) return;
    ASSERT_EQ(system->cameras().size(), 1u);
    EXPECT_EQ(system->cameras()[0].serial, "AB-12");
}

TEST_F(SessionSystem, OpensByNameSerialOrIndexAndNamesTheCamerasOtherwise) {
    bringUp({runningCamera(kSmallColourModel, "S1"), runningCamera(kSmallMonoModel, "S2")});
    if (HasFatalFailure()) return;
    const std::vector<capture::CameraInfo> cameras = system->cameras();
    ASSERT_EQ(cameras.size(), 2u);
    std::string error;
    for (const capture::CameraInfo &c : cameras) {
        for (const std::string &choice : {c.name, c.serial, std::to_string(c.index)}) {
            auto opened = system->open(choice, &error);
            ASSERT_TRUE(opened) << choice << ": " << error;
            EXPECT_EQ(opened->info().name, c.name) << choice;
        }
    }
    auto first = system->open("", &error);
    ASSERT_TRUE(first) << error;
    EXPECT_EQ(first->info().name, cameras[0].name);
    first.reset();

    for (const char *bad : {"2", "S3", "Qorvanta", "-1", " 1", "01x"}) {
        error.clear();
        EXPECT_FALSE(system->open(bad, &error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
        for (const capture::CameraInfo &c : cameras) {
            EXPECT_NE(error.find(c.name), std::string::npos) << error;
            EXPECT_NE(error.find(c.serial), std::string::npos) << error;
        }
    }
}

TEST_F(SessionSystem, SettingsAppliedThroughThePageReadBackWithTheirPrecision) {
    openOne(runningCamera(kSmallColourModel, "P1"));
    if (HasFatalFailure()) return;
    // 70 steps of the gain slider: two decimals would show 0.02 for it.
    EXPECT_EQ(camera->apply({{"exposure", "12.125"},
                             {"gain", "0.0175"},
                             {"red", "0.03"},
                             {"blue", "0.01425"},
                             {"flip-h", "on"}}),
              "");
    std::string error;
    std::map<std::string, std::string> page;
    for (const auto &[name, value] : camera->readSettings(&error)) page[name] = value;
    EXPECT_EQ(error, "");
    EXPECT_EQ(page["exposure"], "12.125 ms");
    EXPECT_EQ(page["gain"], "0.0175");
    EXPECT_EQ(page["red"], "0.0300");
    EXPECT_EQ(page["blue"], "0.0143"); // 57 steps: 0.01425
    EXPECT_EQ(page["gamma"], "-");     // this model has no tone curve
    EXPECT_EQ(page["flip-h"], "on");
    EXPECT_EQ(page["flip-v"], "off");

    const capture::FrameSettings s = camera->currentSettings();
    EXPECT_DOUBLE_EQ(s.exposureMs, 12.125);
    EXPECT_DOUBLE_EQ(s.gain, 0.0175);
    EXPECT_DOUBLE_EQ(s.redGain, 0.03);
    EXPECT_DOUBLE_EQ(s.blueGain, 0.01425);
    EXPECT_FALSE(std::isnan(s.greenGain));
    EXPECT_TRUE(s.flipHorizontal);
    EXPECT_FALSE(s.flipVertical);
    EXPECT_FALSE(s.hasCooler);
    EXPECT_TRUE(std::isnan(s.setPointC));

    // A value outside the slider's range names the range with the same precision.
    const std::string refused = camera->apply({{"gain", "0.3"}});
    EXPECT_NE(refused.find("between 0.0040 and 0.255"), std::string::npos) << refused;
    EXPECT_EQ(camera->currentSettings().gain, 0.0175);
}

TEST_F(SessionSystem, SavedSettingsComeBackAndOtherFilesAreRefused) {
    openOne(runningCamera(kSmallColourModel, "F1"));
    if (HasFatalFailure()) return;
    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "session-f1";
    std::filesystem::create_directories(dir);
    const std::string saved = (dir / "camera.settings").string();
    ASSERT_EQ(camera->apply({{"gain", "0.0175"}, {"flip-v", "on"}}), "");
    ASSERT_EQ(camera->saveSettings(saved), "");
    ASSERT_EQ(camera->apply({{"gain", "0.05"}, {"flip-v", "off"}}), "");
    EXPECT_EQ(camera->loadSettings(saved), "");
    // The frames' settings follow the loaded ones.
    EXPECT_DOUBLE_EQ(camera->currentSettings().gain, 0.0175);
    EXPECT_TRUE(camera->currentSettings().flipVertical);

    const std::string other = (dir / "other").string();
    std::ofstream(other) << "not settings";
    EXPECT_NE(camera->loadSettings(other).find("not a settings file"), std::string::npos);
    EXPECT_NE(camera->loadSettings((dir / "missing").string()).find("cannot read"),
              std::string::npos);
    EXPECT_DOUBLE_EQ(camera->currentSettings().gain, 0.0175);
    std::filesystem::remove_all(dir);
}

TEST_F(SessionSystem, CooledCameraReportsItsCoolerInTheFrameSettings) {
    openOne(runningCamera(kCooledColourModel, "K1"));
    if (HasFatalFailure()) return;
    capture::FrameSettings s = camera->currentSettings();
    EXPECT_TRUE(s.hasCooler);
    EXPECT_FALSE(s.coolingOn);
    EXPECT_EQ(camera->apply({{"cooling", "on"}}), "");
    s = camera->currentSettings();
    EXPECT_TRUE(s.coolingOn);
    EXPECT_DOUBLE_EQ(s.setPointC, -15.0);
    // The camera reports no sensor temperature.
    EXPECT_TRUE(std::isnan(s.temperatureC));
}

TEST(SessionTexts, HelpAndStatusTexts) {
    const std::string help = capture::settingsHelp();
    EXPECT_EQ(help.find("1.00 = unity"), std::string::npos);
    EXPECT_NE(help.find("0.016"), std::string::npos);
    EXPECT_NE(capture::statusText(int32_t(0xE00002C0)).find("kIOReturnNoDevice"),
              std::string::npos);
    EXPECT_NE(capture::statusText(-50).find("-50"), std::string::npos);

    capture::Setting setting;
    std::string error;
    EXPECT_TRUE(capture::parseSetting("gain=0.01", &setting, &error));
    EXPECT_EQ(setting.name, "gain");
    EXPECT_EQ(setting.value, "0.01");
    EXPECT_FALSE(capture::parseSetting("loudness=11", &setting, &error));
    EXPECT_NE(error.find("exposure"), std::string::npos) << error;
}

} // namespace
} // namespace qor::test
