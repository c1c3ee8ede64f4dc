// Test support for the settings panel: the panel registered from the bundle's resource file as
// the platform registers it (which runs the loader over the simulated bus), a grabber with a
// video channel on a camera's digitizer, and the settings dialog showing the page.
#pragma once

#include "panel/panel.h"
#include "platform/misc.h"
#include "platform/resources.h"
#include "platform/seqgrab.h"
#include "support/bundle_override.h"
#include "support/sim_camera.h"
#include "usb/registration.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace qor::test {

class PanelTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        bundle_ = std::make_unique<BundleOverride>(repositoryResources());
    }
    void TearDown() override {
        closeDialog();
        if (grabber) CloseSequenceGrabber(grabber);
        grabber = nullptr;
        unregisterPanel();
        usb::unregisterCameraDigitizers();
        bundle_.reset();
        SimTest::TearDown();
    }

    // Registers the panel from the bundle's resource file; the number of components registered.
    long registerPanel() {
        resFile =
            platform::openResourceFile(platform::bundleResourcePath(platform::kPanelResourceFile));
        EXPECT_GT(resFile, 0);
        return RegisterComponentResourceFile(resFile, 0);
    }
    static Component panelComponent() {
        ComponentDescription looking{kPanelComponentType, kPanelComponentSubType, 0, 0, 0};
        return FindNextComponent(nullptr, &looking);
    }
    void unregisterPanel() {
        while (Component c = panelComponent())
            if (UnregisterComponent(c) != noErr) break;
        if (resFile > 0) CloseResFile(resFile);
        resFile = 0;
    }

    // A running camera of the model, registered through the panel's registration, and a grabber
    // channel on its digitizer.
    std::shared_ptr<sim::SimCamera> openChannel(uint16_t productID) {
        return openChannel(runningCamera(productID));
    }
    // The same for a camera attached with these options.
    std::shared_ptr<sim::SimCamera> openChannel(const sim::CameraOptions &options) {
        auto cam = sim::attachCamera(options);
        EXPECT_EQ(registerPanel(), 1);
        grabber = OpenDefaultSequenceGrabber();
        EXPECT_EQ(SGNewChannel(grabber, VideoMediaType, &channel), noErr);
        const std::string name = cam->model().productName + std::string("-") + cam->serial();
        Str255 pascal;
        CopyCStringToPascal(name.c_str(), pascal);
        EXPECT_EQ(SGSetChannelDevice(channel, pascal), noErr);
        return cam;
    }
    CameraRecord &record() {
        return *cameraRecord(GetComponentInstanceStorage(SGGetVideoDigitizerComponent(channel)));
    }
    Handle cameraHandle() {
        return GetComponentInstanceStorage(SGGetVideoDigitizerComponent(channel));
    }

    // The settings dialog showing the panel's page.
    platform::SettingsDialog &showPage() {
        platform::SettingsDialog *d = nullptr;
        EXPECT_EQ(platform::SettingsDialog::open(grabber, channel, &d), noErr);
        dialog.reset(d);
        EXPECT_EQ(dialog->pageCount(), 1);
        EXPECT_EQ(dialog->showPage(0), noErr);
        return *dialog;
    }
    void closeDialog() { dialog.reset(); }
    ControlRef item(short n) { return dialog->pageControl(n); }
    std::string text(short n) { return platform::controlText(item(n)); }

    std::unique_ptr<BundleOverride> bundle_;
    int16_t resFile = 0;
    SeqGrabComponent grabber = nullptr;
    SGChannel channel = nullptr;
    std::unique_ptr<platform::SettingsDialog> dialog;
};

} // namespace qor::test
