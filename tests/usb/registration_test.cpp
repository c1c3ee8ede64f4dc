// Digitizer registration: one component per camera, named after it, found again by name.
#include "usb/registration.h"

#include "platform/memory.h"
#include "sim/models.h"
#include "support/sim_camera.h"
#include "vdig/vdig.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace qor;

namespace {

class Registration : public test::SimTest {
protected:
    void TearDown() override {
        usb::unregisterCameraDigitizers();
        test::SimTest::TearDown();
    }
    static long countDigitizers() {
        ComponentDescription looking{videoDigitizerComponentType, kQorvantaVdigSubType,
                                     kQorvantaManufacturer, 0, 0};
        return CountComponents(&looking);
    }
    static std::string nameOf(Component c) {
        std::string name;
        EXPECT_EQ(platform::componentName(c, &name), noErr);
        return name;
    }
};

TEST_F(Registration, ProductTableHoldsEveryModelOnce) {
    std::set<uint16_t> ids(usb::kCameraProductIDs.begin(), usb::kCameraProductIDs.end());
    EXPECT_EQ(ids.size(), 28u);
    for (const sim::ModelProfile &model : sim::modelProfiles())
        EXPECT_TRUE(ids.count(model.productID)) << std::hex << model.productID;
}

TEST_F(Registration, OneDigitizerPerCameraFoundAgainByName) {
    test::OpenCamera first(test::runningCamera(0x01A8, "ONE"));
    test::OpenCamera second(test::runningCamera(0x01A8, "TWO"));
    ASSERT_EQ(usb::registerCameraDigitizer(first.record()), noErr);
    ASSERT_EQ(usb::registerCameraDigitizer(second.record()), noErr);
    ASSERT_EQ(usb::registerCameraDigitizer(first.record()), noErr);
    EXPECT_EQ(countDigitizers(), 2);

    ComponentDescription looking{videoDigitizerComponentType, kQorvantaVdigSubType,
                                 kQorvantaManufacturer, 0, 0};
    std::set<std::string> names;
    for (Component c = FindNextComponent(nullptr, &looking); c;
         c = FindNextComponent(c, &looking)) {
        ComponentDescription cd{};
        ASSERT_EQ(GetComponentInfo(c, &cd, nullptr, nullptr, nullptr), noErr);
        EXPECT_EQ(cd.componentFlags, 0x0000000Du);
        const std::string name = nameOf(c);
        names.insert(name);
        auto *info = reinterpret_cast<CameraComponentInfo *>(GetComponentRefcon(c));
        ASSERT_NE(info, nullptr);
        const CameraRecord &r =
            name == first.record().cameraName ? first.record() : second.record();
        EXPECT_EQ(info->component, c);
        EXPECT_EQ(info->vendorID, r.vendorID);
        EXPECT_EQ(info->productID, 0x01A8);
        EXPECT_EQ(info->locationID, r.locationID);
        EXPECT_EQ(std::string(info->name), name);
    }
    EXPECT_EQ(names,
              (std::set<std::string>{first.record().cameraName, second.record().cameraName}));
}

TEST_F(Registration, RegisteredDigitizerOpensItsCamera) {
    auto cam = sim::attachCamera(test::runningCamera(0x00A1));
    {
        test::OpenCamera probe(test::runningCamera(0x03AD));
        ASSERT_EQ(usb::registerCameraDigitizer(probe.record()), noErr);
    }
    // The identity comes from a temporary record; the digitizer opens the camera again by it.
    ComponentDescription looking{videoDigitizerComponentType, 0, 0, 0, 0};
    Component component = FindNextComponent(nullptr, &looking);
    ASSERT_NE(component, nullptr);
    ComponentInstance vdig = nullptr;
    ASSERT_EQ(OpenAComponent(component, &vdig), noErr);
    const CameraRecord &r = *cameraRecord(GetComponentInstanceStorage(vdig));
    EXPECT_EQ(r.productID, 0x03AD);
    EXPECT_EQ(r.cameraOpen, 1);
    // An instance that is open keeps its registration.
    EXPECT_EQ(usb::unregisterCameraDigitizers(), 0);
    EXPECT_EQ(CloseComponent(vdig), noErr);
    EXPECT_EQ(usb::unregisterCameraDigitizers(), 1);
    EXPECT_EQ(countDigitizers(), 0);
}

} // namespace
