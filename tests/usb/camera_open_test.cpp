// Opening a camera by identity and what the open leaves in the record and the camera; the
// removal and power notifications it arms.
#include "platform/memory.h"
#include "platform/usb.h"
#include "support/sim_camera.h"
#include "usb/vendor_ids.h"

#include <qorvanta/camera.h>
#include <qorvanta/stream.h>
#include <qorvanta/usb.h>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace qor;

namespace {

class CameraOpen : public test::SimTest {
protected:
    void TearDown() override {
        if (camera) {
            std::free(cameraRecord(camera)->dataRateTable);
            cameraRecord(camera)->dataRateTable = nullptr;
            QORUSBCloseCamera(camera);
            DisposeHandle(camera);
        }
        test::SimTest::TearDown();
    }
    // Opens the camera attached with these options by its product id and name.
    int32_t open(const std::shared_ptr<sim::SimCamera> &cam) {
        if (!camera)
            camera = newCameraHandle();
        std::string name = cam->model().productName + std::string("-") + cam->serial();
        return QORUSBOpenCamera(cam->model().vendorID, cam->model().productID, name.c_str(),
                                camera);
    }
    CameraRecord &record() { return *cameraRecord(camera); }
    // Lets the run loop deliver pending notifications.
    static void runLoopBriefly() { CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false); }
    CameraHandle camera = nullptr;
};

TEST_F(CameraOpen, FillsTheRecordAndLeavesTheCameraAtSixForty) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8, "OPEN1"));
    ASSERT_EQ(open(cam), 0);
    const CameraRecord &r = record();
    EXPECT_EQ(r.cameraOpen, 1);
    EXPECT_EQ(r.maxWidth, 1392);
    EXPECT_EQ(r.imageWidth, 640);
    EXPECT_EQ(r.imageHeight, 480);
    EXPECT_EQ(r.windowLeft, 376);
    EXPECT_EQ(r.windowTop, 280);
    EXPECT_EQ(r.rawWidth, 640u);
    EXPECT_EQ(r.rawHeight, 480u);
    EXPECT_EQ(r.bayerPattern, 2u); // sensor code 13: G R / B G
    EXPECT_EQ(r.colorSensor, 1);
    EXPECT_EQ(r.colorGainsSupported, 1);
    EXPECT_EQ(r.coolingSupported, 1);
    EXPECT_EQ(r.fanSupported, 1);
    EXPECT_EQ(r.toneCurveSupported, 1);
    EXPECT_EQ(r.dataRateKB, cam->model().dataRates.back());
    EXPECT_NEAR(r.frameRate, r.dataRateKB * 1024.0 / (640.0 * 480.0), 1e-3);
    EXPECT_EQ(r.lastFilledSlot, kNoSlot);
    EXPECT_EQ(r.readSlot, kNoSlot);
    EXPECT_EQ(r.imageSettingsChanged, 1);
    EXPECT_EQ(r.exposureRoundingMode, 3);
    EXPECT_EQ(r.balanceTargetColor.green, 0x8000);
    EXPECT_GT(r.imageSizeCount, 1);
    // The camera holds what the record says.
    EXPECT_EQ(cam->peekRegister(0x1008), uint32_t(280) << 16 | 376);
    EXPECT_EQ(cam->peekRegister(0x100C), uint32_t(480) << 16 | 640);
    EXPECT_EQ(cam->peekRegister(0x1048), r.dataRateKB);
    // No control is left in automatic mode.
    for (uint16_t control : {0x0400, 0x04A0, 0x04F0, 0x0500, 0x0510, 0x0520, 0x0530})
        EXPECT_FALSE(cam->peekRegister(control) & 0x4000) << std::hex << control;
}

TEST_F(CameraOpen, ExposureIsHeldOffWhileTheGeometryChangesAndThenRestored) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8));
    uint32_t exposure = cam->peekRegister(0x04A4);
    ASSERT_NE(exposure, 0u);
    ASSERT_EQ(open(cam), 0);
    auto writes = test::registerWrites(cam->transferLog());
    size_t off = 0, geometry = 0, rate = 0, restored = 0;
    for (size_t i = 0; i < writes.size(); ++i) {
        if (writes[i].reg == 0x04A4 && writes[i].value() == 0 && !off) off = i + 1;
        if (writes[i].reg == 0x1008) geometry = i + 1;
        if (writes[i].reg == 0x1048) rate = i + 1;
        if (writes[i].reg == 0x04A4 && writes[i].value() == exposure) restored = i + 1;
    }
    ASSERT_TRUE(off && geometry && rate && restored);
    EXPECT_LT(off, geometry);
    EXPECT_LT(rate, restored);
    EXPECT_EQ(cam->peekRegister(0x04A4), exposure);
}

TEST_F(CameraOpen, TwoCamerasOfOneModelAreToldApartByName) {
    auto first = sim::attachCamera(test::runningCamera(0x01A8, "AAA"));
    auto second = sim::attachCamera(test::runningCamera(0x01A8, "BBB"));
    ASSERT_EQ(open(second), 0);
    EXPECT_STREQ(record().cameraName, (second->model().productName + std::string("-BBB")).c_str());
    EXPECT_EQ(record().locationID, second->locationID());
    // The first was opened to read its name and closed again; the second stays open.
    bool firstClosed = false;
    for (const auto &t : first->transferLog()) firstClosed |= t.kind == sim::Transfer::Kind::Close;
    EXPECT_TRUE(firstClosed);
    // While it is open, another client cannot open it, and a search that finds no other camera
    // of the name reports the hold.
    CameraHandle other = newCameraHandle();
    EXPECT_EQ(QORUSBOpenCamera(cameraVendorFor(0x01A8), 0x01A8, "nobody", other),
              kIOReturnExclusiveAccess);
    QORUSBCloseCamera(other);
    DisposeHandle(other);
}

TEST_F(CameraOpen, NameNoAttachedCameraHasIsNotFound) {
    auto first = sim::attachCamera(test::runningCamera(0x01A8, "AAA"));
    auto second = sim::attachCamera(test::runningCamera(0x01A8, "BBB"));
    camera = newCameraHandle();
    EXPECT_EQ(QORUSBOpenCamera(cameraVendorFor(0x01A8), 0x01A8, "nobody", camera),
              kIOReturnNoDevice);
    EXPECT_EQ(record().cameraOpen, 0);
    EXPECT_EQ(record().deviceService, 0u);
}

TEST_F(CameraOpen, UnknownSensorCodeFailsButKeepsTheCameraOpenWithDefaults) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8));
    cam->pokeRegister(0x1014, 7);
    EXPECT_EQ(open(cam), badDepthErr);
    EXPECT_EQ(record().cameraOpen, 1);
    EXPECT_EQ(record().exposureRoundingMode, 3);
    EXPECT_EQ(record().readSlot, kNoSlot);
}

TEST_F(CameraOpen, MonochromeCameraHasNoColourControls) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A5));
    ASSERT_EQ(open(cam), 0);
    EXPECT_EQ(record().colorSensor, 0);
    EXPECT_EQ(record().bayerPattern, 0u);
    EXPECT_EQ(record().redGainSupported, 0);
    EXPECT_EQ(record().colorGainsSupported, 0);
    EXPECT_EQ(record().colorMatrixIndex, 0);
    for (const auto &t : test::controlTransfers(cam->transferLog())) {
        if (t.bRequest == 0x12) {
            EXPECT_FALSE(t.wIndex >= 0x0500 && t.wIndex <= 0x053C) << std::hex << t.wIndex;
        }
    }
}

TEST_F(CameraOpen, SecondVendorCameraRunsAtItsFirstRate) {
    auto cam = sim::attachCamera(test::runningCamera(0x03AD));
    testing::internal::CaptureStderr();
    ASSERT_EQ(open(cam), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "CameraOpen(): Cam11 detected\n");
    EXPECT_EQ(cam->peekRegister(0x1048), cam->model().dataRates.front());
    EXPECT_EQ(record().dataRateKB, cam->model().dataRates.front());
}

TEST_F(CameraOpen, CloseCoolsOffAndReleasesEverything) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8));
    ASSERT_EQ(open(cam), 0);
    QORASetCameraCooling(camera, 1, -10.0);
    ASSERT_TRUE(cam->peekRegister(0x0690) & 0x8000);
    std::free(record().dataRateTable);
    record().dataRateTable = nullptr;
    EXPECT_EQ(QORUSBCloseCamera(camera), 0);
    EXPECT_FALSE(cam->peekRegister(0x0690) & 0x8000);
    EXPECT_EQ(record().deviceInterface, nullptr);
    EXPECT_EQ(record().interfaceInterface, nullptr);
    EXPECT_EQ(record().notifyPort, nullptr);
    EXPECT_EQ(record().powerNotifier, 0u);
    EXPECT_EQ(record().cameraOpen, 0);
    // Closing twice is harmless, and the device can be opened again.
    EXPECT_EQ(QORUSBCloseCamera(camera), 0);
    EXPECT_EQ(open(cam), 0);
}

TEST_F(CameraOpen, UnplugTearsTheCameraDown) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8));
    ASSERT_EQ(open(cam), 0);
    cam->unplug();
    for (int i = 0; i < 20 && record().cameraRemoved == 0; ++i) runLoopBriefly();
    EXPECT_EQ(record().cameraRemoved, 1);
    EXPECT_EQ(record().interfaceInterface, nullptr);
    EXPECT_EQ(record().deviceService, 0u);
    uint32_t value = 0;
    EXPECT_EQ(QORAReadOneCameraRegister(camera, 0x1000, &value), kIOReturnNoDevice);
}

TEST_F(CameraOpen, UnplugWhileStreamingStopsTheStreamBeforeFreeingItsBuffers) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8));
    ASSERT_EQ(open(cam), 0);
    ASSERT_EQ(QORACameraStartVideo(camera, 1), 0);
    ASSERT_EQ(atomicField(record().streaming).load(), 1);
    // Frames arrive (nobody asked for them yet, so they are only counted).
    for (int i = 0; i < 100 && atomicField(record().framesUnrequested).load() < 2; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, false);
    ASSERT_GE(atomicField(record().framesUnrequested).load(), 2u);

    cam->unplug();
    for (int i = 0; i < 20 && record().cameraRemoved == 0; ++i) runLoopBriefly();
    EXPECT_EQ(record().cameraRemoved, 1);
    EXPECT_EQ(atomicField(record().streaming).load(), 0);
    EXPECT_EQ(record().buffersAllocated, 0);
    EXPECT_EQ(record().rawBufferMap, nullptr);
    EXPECT_EQ(record().lineBuffer, nullptr);
    EXPECT_EQ(record().interfaceInterface, nullptr);
}

TEST_F(CameraOpen, SleepIsVetoedWhileOpenAndAllowedAfterTearDown) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8));
    ASSERT_EQ(open(cam), 0);
    platform::PowerAnswers before = platform::systemPowerAnswers();
    platform::postSystemPowerMessage(kIOMessageCanSystemSleep, 11);
    runLoopBriefly();
    platform::PowerAnswers vetoed = platform::systemPowerAnswers();
    EXPECT_EQ(vetoed.cancelled, before.cancelled + 1);
    EXPECT_EQ(record().cameraRemoved, 0);

    // Forced sleep: the camera is torn down and the change allowed.
    platform::postSystemPowerMessage(kIOMessageSystemWillSleep, 12);
    runLoopBriefly();
    EXPECT_EQ(record().cameraRemoved, 1);
    EXPECT_EQ(record().deviceInterface, nullptr);
    EXPECT_EQ(platform::systemPowerAnswers().allowed, vetoed.allowed + 1);
}

TEST_F(CameraOpen, NullArgumentsAreRefused) {
    EXPECT_EQ(QORUSBOpenCamera(1, 2, "x", nullptr), -1);
    camera = newCameraHandle();
    EXPECT_EQ(QORUSBOpenCamera(1, 2, nullptr, camera), -1);
}

} // namespace
