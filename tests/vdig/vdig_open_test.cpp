// The digitizer's open and close through the component manager, on simulated cameras.
#include "platform/memory.h"
#include "support/sim_camera.h"
#include "vdig/vdig.h"

#include <qorvanta/stream.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace qor;

namespace {

class VdigOpen : public test::SimTest {
protected:
    // Registers a digitizer for a camera identity, as the loader does.
    Component registerDigitizer(const sim::SimCamera &cam, const std::string &name) {
        ComponentDescription cd{fourCharCode("vdig"), kQorvantaVdigSubType, kQorvantaManufacturer,
                                0x0000000D, 0};
        Component component =
            RegisterComponent(&cd, vdigMainEntry, 0x201, nullptr, nullptr, nullptr);
        auto info = std::make_unique<CameraComponentInfo>();
        info->component = component;
        info->vendorID = cam.model().vendorID;
        info->productID = cam.model().productID;
        info->locationID = cam.locationID();
        std::strncpy(info->name, name.c_str(), sizeof info->name - 1);
        SetComponentRefcon(component, reinterpret_cast<long>(info.get()));
        infos.push_back(std::move(info));
        components.push_back(component);
        return component;
    }
    static std::string nameOf(const sim::SimCamera &cam) {
        return cam.model().productName + std::string("-") + cam.serial();
    }
    static CameraRecord &recordOf(ComponentInstance vdig) {
        return *cameraRecord(GetComponentInstanceStorage(vdig));
    }
    void TearDown() override {
        for (Component c : components) UnregisterComponent(c);
        test::SimTest::TearDown();
    }
    std::vector<std::unique_ptr<CameraComponentInfo>> infos;
    std::vector<Component> components;
};

TEST_F(VdigOpen, OpensTheCameraOfItsRegistrationAmongTwoOfOneModel) {
    auto first = sim::attachCamera(test::runningCamera(0x01A8, "ONE"));
    auto second = sim::attachCamera(test::runningCamera(0x01A8, "TWO"));
    Component component = registerDigitizer(*second, nameOf(*second));
    ComponentInstance vdig = nullptr;
    ASSERT_EQ(OpenAComponent(component, &vdig), noErr);
    CameraRecord &r = recordOf(vdig);
    EXPECT_EQ(r.cameraOpen, 1);
    EXPECT_EQ(r.locationID, second->locationID());
    EXPECT_EQ(r.vdigSelf, vdig);
    EXPECT_EQ(r.timeScale, 10000u);
    EXPECT_NEAR(r.frameRate, r.dataRateKB * 1024.0 / (640.0 * 480.0), 1e-3);
    EXPECT_NEAR(r.framePeriodMs, 1000.0 / r.frameRate, 1e-3);
    EXPECT_EQ(r.framePeriodUs, uint32_t(r.framePeriodMs * 1000.0));
    EXPECT_EQ(r.maxSrcRect.right, 1392);
    EXPECT_EQ(r.maxSrcRect.bottom, 1040);
    EXPECT_EQ(r.activeSrcRect.right, 1392);

    // One instance at a time.
    ComponentInstance again = nullptr;
    EXPECT_NE(OpenAComponent(component, &again), noErr);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(CloseComponent(vdig), noErr);
}

TEST_F(VdigOpen, CameraThatIsNotThereFailsAndIsCleanedUp) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8));
    Component component = registerDigitizer(*cam, "no such camera");
    ComponentInstance vdig = nullptr;
    EXPECT_NE(OpenAComponent(component, &vdig), noErr);
    EXPECT_EQ(vdig, nullptr);
    EXPECT_EQ(CountComponentInstances(component), 0);
}

TEST_F(VdigOpen, CloseAfterUnplugWhileStreamingSucceeds) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8));
    Component component = registerDigitizer(*cam, nameOf(*cam));
    ComponentInstance vdig = nullptr;
    ASSERT_EQ(OpenAComponent(component, &vdig), noErr);
    CameraHandle camera = GetComponentInstanceStorage(vdig);
    CameraRecord *record = cameraRecord(camera);
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(QORACameraStartVideo(camera, 1), 0);
    cam->unplug();
    for (int i = 0; i < 20 && atomicField(record->cameraRemoved).load() == 0; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
    EXPECT_EQ(record->cameraRemoved, 1);
    // Every guarded request now answers that the device is gone.
    Str255 name;
    uint32_t flags = 0;
    EXPECT_EQ(VDGetDeviceNameAndFlags(vdig, name, &flags), kIOReturnNoDevice);
    EXPECT_EQ(CloseComponent(vdig), noErr);
}

TEST_F(VdigOpen, CloseStopsStreamingAndReleasesTheBuffers) {
    auto cam = sim::attachCamera(test::runningCamera(0x01A8));
    Component component = registerDigitizer(*cam, nameOf(*cam));
    ComponentInstance vdig = nullptr;
    ASSERT_EQ(OpenAComponent(component, &vdig), noErr);
    ASSERT_EQ(QORACameraStartVideo(GetComponentInstanceStorage(vdig), 1), 0);
    cam->clearTransferLog();
    EXPECT_EQ(CloseComponent(vdig), noErr);
    auto writes = test::registerWrites(cam->transferLog());
    bool videoStopped = false;
    for (const auto &w : writes) videoStopped |= w.reg == 0x0214 && w.value() == 0;
    EXPECT_TRUE(videoStopped);
    // The camera is free for the next client.
    ComponentInstance next = nullptr;
    ASSERT_EQ(OpenAComponent(component, &next), noErr);
    EXPECT_EQ(CloseComponent(next), noErr);
}

} // namespace
