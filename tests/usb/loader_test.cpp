// The loader end to end on the simulated bus: firmware into unprogrammed cameras, the wait for
// them to come back, FPGA configuration and one digitizer per camera. A pass that loads
// firmware waits 2.5 s, so the cases that need one are few and each covers several rules.
#include "usb/firmware.h"
#include "usb/init_reset.h"
#include "usb/loader_support.h"
#include "usb/vendor_ids.h"

#include <qorvanta/usb.h>

#include <gtest/gtest.h>

using namespace qor;

namespace {

// Well inside the loader's wait, so the camera is back before the loader looks for it.
sim::CameraOptions unprogrammed(uint16_t productID, std::string serial) {
    sim::CameraOptions options;
    options.productID = productID;
    options.serial = std::move(serial);
    options.reenumerationDelay = std::chrono::milliseconds(100);
    return options;
}

using Loader = test::LoaderTest;

TEST_F(Loader, NoCameraRegistersNothing) {
    gWasCameraFirmwareLoaded = 1;
    EXPECT_EQ(QORUSBInitializeLoader(), 1);
    EXPECT_EQ(gWasCameraFirmwareLoaded, 0) << "cleared at the start of each run";
    EXPECT_EQ(test::countCameraDigitizers(), 0);

    // A camera unplugged before the run changes nothing.
    auto cam = sim::attachCamera(test::runningCamera(0x00A1));
    cam->unplug();
    EXPECT_EQ(QORUSBInitializeLoader(), 1);
    EXPECT_EQ(test::countCameraDigitizers(), 0);
}

TEST_F(Loader, UnprogrammedCamerasAreLoadedWaitedForAndRegisteredOnce) {
    // Both vendor ids, and the model with a sensor initialisation.
    auto mono = sim::attachCamera(unprogrammed(0x00A1, "MONO"));
    auto colour = sim::attachCamera(unprogrammed(0x01A5, "COLOUR"));
    auto sensor = sim::attachCamera(unprogrammed(0x009A, "SENSOR"));
    // One that does not come back in time.
    auto late = sim::attachCamera(unprogrammed(0x01C8, "LATE"));
    late->setNeverReenumerates(true);

    testing::internal::CaptureStderr();
    EXPECT_EQ(QORUSBInitializeLoader(), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(gWasCameraFirmwareLoaded, 1);
    EXPECT_EQ(err.find("unable to download"), std::string::npos) << err;

    auto registered = test::registeredDigitizers();
    EXPECT_EQ(registered.size(), 3u);
    for (const auto &cam : {mono, colour, sensor}) {
        SCOPED_TRACE(cam->serial());
        EXPECT_EQ(cam->state(), sim::CameraState::Running);
        EXPECT_TRUE(cam->fpgaConfigured());
        ASSERT_EQ(registered.count(test::cameraName(*cam)), 1u);
        const CameraComponentInfo &info = registered[test::cameraName(*cam)];
        EXPECT_EQ(info.vendorID, cameraVendorFor(cam->model().productID));
        EXPECT_EQ(info.productID, cam->model().productID);
        EXPECT_EQ(info.locationID, cam->locationID());
    }
    EXPECT_EQ(sensor->sensorWrites().size(), kInitializationMacroCount);
    EXPECT_TRUE(mono->sensorWrites().empty());
    EXPECT_EQ(late->state(), sim::CameraState::OffBus);

    // Power-cycled, the late camera starts over; the next run loads it and registers it, and
    // finds the others registered already.
    late->setNeverReenumerates(false);
    late->unplug();
    late->plug();
    testing::internal::CaptureStderr();
    EXPECT_EQ(QORUSBInitializeLoader(), 0);
    testing::internal::GetCapturedStderr();
    registered = test::registeredDigitizers();
    EXPECT_EQ(registered.size(), 4u);
    EXPECT_EQ(registered.count(test::cameraName(*late)), 1u);
    EXPECT_TRUE(late->fpgaConfigured());
}

TEST_F(Loader, RunningCamerasAreConfiguredOnceAndRegisteredOnce) {
    auto first = sim::attachCamera(test::runningCamera(0x01A8, "A"));
    auto second = sim::attachCamera(test::runningCamera(0x01A8, "B"));
    sim::CameraOptions options = test::runningCamera(0x0092, "C");
    options.fpgaConfigured = false;
    options.releaseNumber = 1;
    auto blank = sim::attachCamera(options);

    testing::internal::CaptureStderr();
    EXPECT_EQ(QORUSBInitializeLoader(), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("found FPGA in cam15/fpga1.rbf\n"), std::string::npos) << err;
    EXPECT_EQ(gWasCameraFirmwareLoaded, 0);
    EXPECT_EQ(blank->lastBitstream(),
              test::fileBytes(test::repositoryResources() / "FPGA/cam15/fpga1.rbf"));
    EXPECT_TRUE(test::bulkOutBytes(first->transferLog()).empty());

    // The second run finds the FPGA configured and every digitizer by name.
    blank->clearTransferLog();
    testing::internal::CaptureStderr();
    EXPECT_EQ(QORUSBInitializeLoader(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(test::bulkOutBytes(blank->transferLog()).empty());
    auto registered = test::registeredDigitizers();
    EXPECT_EQ(registered.size(), 3u);
    for (const auto &cam : {first, second, blank})
        EXPECT_EQ(registered.count(test::cameraName(*cam)), 1u) << cam->serial();
}

} // namespace
