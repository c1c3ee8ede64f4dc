// The process's backend choice as far as it can be seen inside one test process (the choice is
// made once per process; the capture tool's tests cover a fresh one), the simulated-model lists
// users type, and the listing of cameras however far each came up.
#include "usb/backend_choice.h"
#include "usb/bus_inventory.h"
#include "usb/loader_support.h"

#include <qorvanta/usb.h>

#include <gtest/gtest.h>

using namespace qor;

namespace {

TEST(BackendChoice, NamesAndModelListsAreParsedOrRefusedWhole) {
    EXPECT_EQ(usb::parseBackendKind("usb"), usb::BackendKind::Usb);
    EXPECT_EQ(usb::parseBackendKind("sim"), usb::BackendKind::Simulated);
    EXPECT_EQ(usb::parseBackendKind("auto"), usb::BackendKind::Automatic);
    for (const char *bad : {"", "USB", "simulated", "usb "})
        EXPECT_EQ(usb::parseBackendKind(bad), std::nullopt) << bad;

    std::vector<uint16_t> models{0x1234};
    std::string error;
    ASSERT_TRUE(usb::parseSimulatedModels("01A8,008c,a1", models, error)) << error;
    EXPECT_EQ(models, (std::vector<uint16_t>{0x01A8, 0x008C, 0x00A1}));

    // A bad part refuses the whole list and leaves what the caller had.
    for (const char *bad : {"", "01A8,", ",01A8", "01A8,,00A1", "01A8;00A1", "0x", "1234",
                            "81A8", "01A8 ", "10001A8"}) {
        error.clear();
        EXPECT_FALSE(usb::parseSimulatedModels(bad, models, error)) << bad;
        EXPECT_NE(error.find("product id of a camera model"), std::string::npos) << bad;
        EXPECT_EQ(models.size(), 3u) << bad;
    }
}

TEST(BusAndPort, LocationIdsReadAsBusAndPortPath) {
    EXPECT_EQ(usb::busAndPort(0x14010000), "bus 20 port 1");
    EXPECT_EQ(usb::busAndPort(0x03010400), "bus 3 port 1.4");
    EXPECT_EQ(usb::busAndPort(0x02030207), "bus 2 port 3.2.7");
    // A zero ends the path: what follows it is not a port.
    EXPECT_EQ(usb::busAndPort(0x02000500), "bus 2 port 0");
    EXPECT_EQ(usb::busAndPort(0x02050005), "bus 2 port 5");
}

using Inventory = test::LoaderTest;

TEST_F(Inventory, EachCameraIsListedWithHowFarItCameUp) {
    sim::CameraOptions fresh;
    fresh.productID = 0x00A1;
    auto unprogrammed = sim::attachCamera(fresh);
    sim::CameraOptions firmwareOnly = test::runningCamera(0x01A8, "B");
    firmwareOnly.fpgaConfigured = false;
    auto running = sim::attachCamera(firmwareOnly);
    auto ready = sim::attachCamera(test::runningCamera(0x008C, "C"));

    std::vector<usb::AttachedCamera> cameras = usb::attachedCameras();
    ASSERT_EQ(cameras.size(), 3u);
    std::map<uint16_t, usb::AttachedCamera> byModel;
    for (const auto &c : cameras) byModel[c.productID] = c;
    EXPECT_EQ(byModel[0x00A1].state, usb::BringUpState::Unprogrammed);
    EXPECT_EQ(byModel[0x01A8].state, usb::BringUpState::RunningFirmware);
    EXPECT_EQ(byModel[0x008C].state, usb::BringUpState::FpgaConfigured);
    EXPECT_EQ(byModel[0x00A1].locationID, unprogrammed->locationID());
    EXPECT_EQ(byModel[0x008C].locationID, ready->locationID());
    for (const auto &c : cameras) {
        EXPECT_TRUE(c.simulated);
        EXPECT_TRUE(c.name.empty());
    }
    // Listing opened the programmed cameras only briefly: another client can still open them.
    EXPECT_FALSE(running->transferLog().empty());

    // A camera held by another client cannot say whether its FPGA is configured.
    ready->holdExclusive(1);
    for (const auto &c : usb::attachedCameras())
        if (c.productID == 0x008C) {
            EXPECT_EQ(c.state, usb::BringUpState::RunningFirmware);
        }

    // After the loader, the programmed ones are registered under their digitizer's name; the
    // listing does not touch a registered camera.
    unprogrammed->unplug();
    ASSERT_EQ(QORUSBInitializeLoader(), 0);
    running->clearTransferLog();
    cameras = usb::attachedCameras();
    ASSERT_EQ(cameras.size(), 2u);
    for (const auto &c : cameras) {
        EXPECT_EQ(c.state, usb::BringUpState::Registered);
        EXPECT_EQ(c.name, test::cameraName(c.productID == 0x01A8 ? *running : *ready));
    }
    EXPECT_TRUE(running->transferLog().empty());
    EXPECT_STREQ(usb::bringUpStateName(usb::BringUpState::FpgaConfigured), "FPGA configured");
}

TEST_F(Inventory, BackendsSetUpByHandAreKept) {
    sim::attachCamera(test::runningCamera(0x00A1));
    const std::vector<std::shared_ptr<usb::Backend>> before = usb::backends();
    const usb::BackendSetup setup = usb::setUpBackends({usb::BackendKind::Usb, {0x01A8}});
    EXPECT_TRUE(setup.error.empty()) << setup.error;
    EXPECT_TRUE(setup.simulated);
    EXPECT_FALSE(setup.realCameras);
    EXPECT_EQ(usb::backends(), before) << "nothing added or taken away";
    EXPECT_EQ(usb::attachedCameras().size(), 1u) << "no simulated camera attached";
}

} // namespace
