// What an open leaves behind when the circumstances are less tidy: the opening thread ends
// before the close, a second camera of a model is opened while the first is in use, and a camera
// that powers up in automatic modes.
#include "platform/memory.h"
#include "platform/usb.h"
#include "support/sim_camera.h"
#include "usb/vendor_ids.h"

#include <qorvanta/camera.h>
#include <qorvanta/usb.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

using namespace qor;

namespace {

std::string nameOf(const sim::SimCamera &cam) {
    return cam.model().productName + std::string("-") + cam.serial();
}

// A camera handle for the test's life; closed and disposed at its end.
struct Camera {
    Camera() : handle(newCameraHandle()) {}
    ~Camera() {
        CameraRecord &r = record();
        std::free(r.dataRateTable); // the digitizer's to free, normally
        r.dataRateTable = nullptr;
        QORUSBCloseCamera(handle);
        DisposeHandle(handle);
    }
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    int32_t open(const sim::SimCamera &cam) const {
        return QORUSBOpenCamera(cam.model().vendorID, cam.model().productID, nameOf(cam).c_str(),
                                handle);
    }
    CameraRecord &record() const { return *cameraRecord(handle); }
    CameraHandle handle;
};

class CameraOpenState : public test::SimTest {};

TEST_F(CameraOpenState, CameraOpenedOnAThreadThatHasEndedClosesLater) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8, "T1"));
    Camera camera;
    int32_t opened = -99;
    std::thread opener([&] { opened = camera.open(*cam); });
    opener.join();
    ASSERT_EQ(opened, 0);
    // The run loop the notifications were armed on outlives its thread until the camera closes.
    CameraRecord &r = camera.record();
    ASSERT_NE(r.runLoop, nullptr);
    EXPECT_TRUE(CFRunLoopContainsSource(r.runLoop, r.notifyRunLoopSource, kCFRunLoopDefaultMode));
    EXPECT_TRUE(CFRunLoopContainsSource(r.runLoop, r.powerRunLoopSource, kCFRunLoopDefaultMode));
    EXPECT_EQ(QORUSBCloseCamera(camera.handle), 0);
    EXPECT_EQ(r.runLoop, nullptr);
    EXPECT_EQ(r.notifyRunLoopSource, nullptr);
    std::free(r.dataRateTable);
    r.dataRateTable = nullptr;
    // Opened and closed on one thread, the loop stays the thread's own.
    ASSERT_EQ(camera.open(*cam), 0);
    EXPECT_EQ(r.runLoop, CFRunLoopGetCurrent());
}

TEST_F(CameraOpenState, SecondCameraOfAModelOpensWhileTheFirstIsInUse) {
    auto first = sim::attachCamera(test::runningCamera(0x01A8, "AAA"));
    auto second = sim::attachCamera(test::runningCamera(0x01A8, "BBB"));
    Camera a, b;
    ASSERT_EQ(a.open(*first), 0);
    // The first device on the bus is held: the search goes on to the camera asked for.
    ASSERT_EQ(b.open(*second), 0);
    EXPECT_STREQ(b.record().cameraName, nameOf(*second).c_str());
    EXPECT_EQ(b.record().locationID, second->locationID());
    EXPECT_EQ(b.record().cameraOpen, 1);
    // The camera in use cannot be opened a second time, and the caller learns why.
    Camera c;
    EXPECT_EQ(c.open(*first), kIOReturnExclusiveAccess);
    EXPECT_EQ(c.record().cameraOpen, 0);
    EXPECT_EQ(c.record().deviceService, 0u);
}

TEST_F(CameraOpenState, DeviceHeldByAnotherClientIsPassedOver) {
    auto first = sim::attachCamera(test::runningCamera(0x04A2, "AAA"));
    auto second = sim::attachCamera(test::runningCamera(0x04A2, "BBB"));
    first->holdExclusive(100); // another client holds it for the whole test
    Camera b;
    ASSERT_EQ(b.open(*second), 0);
    EXPECT_EQ(b.record().locationID, second->locationID());
    // A name no attached camera has, while one of the model is held: the hold is the answer.
    Camera nobody;
    EXPECT_EQ(QORUSBOpenCamera(cameraVendorFor(0x04A2), 0x04A2, "nobody", nobody.handle),
              kIOReturnExclusiveAccess);
    EXPECT_EQ(nobody.record().cameraOpen, 0);
}

// The controls of a colour model that offer an automatic mode, with the record's flags.
struct AutoControl {
    uint16_t control;
    uint8_t CameraRecord::*autoSupported;
    uint8_t CameraRecord::*autoOn;
};
constexpr AutoControl kAutoControls[] = {
    {0x0400, &CameraRecord::control0400AutoSupported, &CameraRecord::control0400AutoOn},
    {0x04A0, &CameraRecord::exposureAutoSupported, &CameraRecord::exposureAutoOn},
    {0x04F0, &CameraRecord::gainAutoSupported, &CameraRecord::gainAutoOn},
};

TEST_F(CameraOpenState, AutomaticModesSwitchedOffAtOpenAreRecordedOff) {
    sim::CameraOptions options = test::runningCamera(0x04A2);
    options.automaticModesOn = true;
    auto cam = sim::attachCamera(options);
    for (const AutoControl &c : kAutoControls)
        ASSERT_TRUE(cam->peekRegister(c.control) & 0x4000) << std::hex << c.control;

    Camera camera;
    ASSERT_EQ(camera.open(*cam), 0);
    for (const AutoControl &c : kAutoControls) {
        EXPECT_EQ(camera.record().*c.autoSupported, 1) << std::hex << c.control;
        EXPECT_FALSE(cam->peekRegister(c.control) & 0x4000) << std::hex << c.control;
        EXPECT_EQ(camera.record().*c.autoOn, 0) << std::hex << c.control;
    }
}

TEST_F(CameraOpenState, AutomaticModeTheCameraKeepsStaysRecordedOn) {
    sim::CameraOptions options = test::runningCamera(0x04A2);
    options.automaticModesOn = true;
    auto cam = sim::attachCamera(options);
    // The gain's switch-off write is refused: the camera stays automatic, and the record says so.
    cam->failRegister(0x04F0, sim::Direction::Write, kIOUSBPipeStalled, 1);
    Camera camera;
    ASSERT_EQ(camera.open(*cam), 0);
    EXPECT_TRUE(cam->peekRegister(0x04F0) & 0x4000);
    EXPECT_EQ(camera.record().gainAutoOn, 1);
    EXPECT_EQ(camera.record().exposureAutoOn, 0);
    EXPECT_FALSE(cam->peekRegister(0x04A0) & 0x4000);
}

} // namespace
