// The process's backend choice when a camera is attached: a program that asks for nothing finds
// it through libusb and brings it up, and no simulated camera is added beside it. Each test runs
// in a process of its own (the choice is made once per process).
#include "usbfs/backend_support.h"

#include "usb/backend_choice.h"
#include "usb/bus_inventory.h"
#include "usb/registration.h"

#include <qorvanta/usb.h>

namespace qor::testing {
namespace {

TEST(BackendChoiceWithACamera, FoundWithoutOptionsAndBroughtUpFromUnprogrammed) {
    UsbfsBus bus; // before the choice starts a libusb context
    sim::CameraOptions options;
    options.productID = 0x00A1;
    options.reenumerationDelay = std::chrono::milliseconds(100);
    auto camera = bus.attach(options);
    ASSERT_TRUE(camera);
    ASSERT_TRUE(usb::backends().empty());

    const usb::BackendSetup setup = usb::setUpBackends({usb::BackendKind::Automatic, {0x01A8}});
    EXPECT_TRUE(setup.error.empty()) << setup.error;
    EXPECT_TRUE(setup.usb);
    EXPECT_TRUE(setup.realCameras);
    EXPECT_FALSE(setup.simulated) << "no simulated camera beside an attached one";
    EXPECT_EQ(usb::backends().size(), 1u);

    std::vector<usb::AttachedCamera> listed = usb::attachedCameras();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].state, usb::BringUpState::Unprogrammed);
    EXPECT_EQ(listed[0].locationID, camera->locationID());
    EXPECT_EQ(usb::busAndPort(listed[0].locationID),
              "bus " + std::to_string(UsbfsBus::busNumber(camera->locationID())) + " port " +
                  std::to_string(UsbfsBus::portPath(camera->locationID()).at(0)));

    // The loader finds the backends already chosen, downloads the firmware, waits for the
    // camera to come back on the same port and registers it.
    usb::unregisterCameraDigitizers();
    EXPECT_EQ(QORUSBInitializeLoader(), 0);
    listed = usb::attachedCameras();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].state, usb::BringUpState::Registered);
    EXPECT_EQ(listed[0].name, std::string(camera->model().productName) + "-" + camera->serial());
    EXPECT_EQ(listed[0].locationID, camera->locationID());

    // A second choice reports the first.
    EXPECT_TRUE(usb::setUpBackends({usb::BackendKind::Simulated, {}}).realCameras);
    EXPECT_EQ(usb::backends().size(), 1u);

    usb::unregisterCameraDigitizers();
    for (const auto &backend : usb::backends()) usb::removeBackend(backend);
}

} // namespace
} // namespace qor::testing
