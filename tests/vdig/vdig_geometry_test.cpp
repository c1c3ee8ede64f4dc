// Geometry, inputs and digitizer info, asked through the client calls of an opened digitizer.
#include "support/sim_camera.h"
#include "vdig/vdig.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qor;

namespace {

class VdigGeometry : public test::SimTest {
protected:
    // Registers and opens the digitizer of a simulated camera of this model.
    ComponentInstance open(uint16_t productID) {
        cam = sim::attachCamera(test::runningCamera(productID));
        ComponentDescription cd{fourCharCode("vdig"), kQorvantaVdigSubType, kQorvantaManufacturer,
                                0x0000000D, 0};
        component = RegisterComponent(&cd, vdigMainEntry, 0x201, nullptr, nullptr, nullptr);
        info.component = component;
        info.vendorID = cam->model().vendorID;
        info.productID = productID;
        info.locationID = cam->locationID();
        std::string name = cam->model().productName + std::string("-") + cam->serial();
        std::strncpy(info.name, name.c_str(), sizeof info.name - 1);
        SetComponentRefcon(component, reinterpret_cast<long>(&info));
        EXPECT_EQ(OpenAComponent(component, &vdig), noErr);
        return vdig;
    }
    void TearDown() override {
        if (vdig) CloseComponent(vdig);
        if (component) UnregisterComponent(component);
        test::SimTest::TearDown();
    }
    std::shared_ptr<sim::SimCamera> cam;
    Component component = nullptr;
    ComponentInstance vdig = nullptr;
    CameraComponentInfo info{};
};

TEST_F(VdigGeometry, SourceRectanglesAreTheSensor) {
    ASSERT_NE(open(0x01A8), nullptr);
    Rect rect{};
    ASSERT_EQ(VDGetMaxSrcRect(vdig, 0, &rect), noErr);
    EXPECT_EQ(rect.right, 1392);
    EXPECT_EQ(rect.bottom, 1040);
    ASSERT_EQ(VDGetActiveSrcRect(vdig, 0, &rect), noErr);
    EXPECT_EQ(rect.right, 1392);
    EXPECT_EQ(VDGetMaxSrcRect(vdig, 0, nullptr), qtParamErr);
}

TEST_F(VdigGeometry, DigitizerRectMustLieInsideTheActiveSource) {
    ASSERT_NE(open(0x01A8), nullptr);
    Rect empty{0, 0, 0, 0}, beyond{0, 0, 1040, 1393}, whole{0, 0, 1040, 1392},
        part{10, 20, 500, 700};
    EXPECT_EQ(VDSetDigitizerRect(vdig, &empty), qtParamErr);
    EXPECT_EQ(VDSetDigitizerRect(vdig, &beyond), qtParamErr);
    EXPECT_EQ(VDSetDigitizerRect(vdig, nullptr), qtParamErr);
    EXPECT_EQ(VDSetDigitizerRect(vdig, &whole), noErr);
    EXPECT_EQ(VDSetDigitizerRect(vdig, &part), noErr);
    Rect got{};
    ASSERT_EQ(VDGetDigitizerRect(vdig, &got), noErr);
    EXPECT_EQ(std::memcmp(&got, &part, sizeof got), 0);
}

TEST_F(VdigGeometry, PreflightReplacesWhatTheCameraCannotFill) {
    ASSERT_NE(open(0x01A8), nullptr);
    PixMapHandle pixmap = nullptr;
    Rect digitizer{0, 0, 480, 640};
    Rect dest{0, 0, 240, 320};
    EXPECT_EQ(VDPreflightDestination(vdig, &digitizer, &pixmap, &dest, nullptr), noErr);

    dest = Rect{0, 0, 240, 319};
    EXPECT_EQ(VDPreflightDestination(vdig, &digitizer, &pixmap, &dest, nullptr), notExactSizeErr);
    EXPECT_EQ(dest.right, 320);
    EXPECT_EQ(dest.bottom, 240);

    // One pixel wider than the sensor: the whole sensor, and the digitizer rectangle is left.
    dest = Rect{0, 0, 480, 1393};
    Rect smallDigitizer{0, 0, 100, 100};
    EXPECT_EQ(VDPreflightDestination(vdig, &smallDigitizer, &pixmap, &dest, nullptr),
              notExactSizeErr);
    EXPECT_EQ(dest.right, 1392);
    EXPECT_EQ(dest.bottom, 1040);
    EXPECT_EQ(smallDigitizer.right, 100);

    // An acceptable destination with a digitizer rectangle that is too small.
    dest = Rect{0, 0, 480, 640};
    EXPECT_EQ(VDPreflightDestination(vdig, &smallDigitizer, &pixmap, &dest, nullptr),
              notExactSizeErr);
    EXPECT_EQ(smallDigitizer.right, 320);
    EXPECT_EQ(VDPreflightDestination(vdig, &digitizer, nullptr, &dest, nullptr), qtParamErr);
}

TEST_F(VdigGeometry, InfoAndFlagsDifferForColourAndMonochrome) {
    ASSERT_NE(open(0x01A8), nullptr);
    DigitizerInfo colour{};
    ASSERT_EQ(VDGetDigitizerInfo(vdig, &colour), noErr);
    EXPECT_EQ(colour.inputCapabilityFlags, 0x00001181);
    EXPECT_EQ(colour.outputCapabilityFlags, 0x1A000020);
    EXPECT_EQ(uint32_t(colour.inputCurrentFlags), 0x80001001u);
    EXPECT_EQ(uint32_t(colour.outputCurrentFlags), 0x9A000020u);
    EXPECT_EQ(colour.minDestWidth, 320);
    EXPECT_EQ(colour.maxDestWidth, 1392);
    long in = 0, out = 0;
    ASSERT_EQ(VDGetCurrentFlags(vdig, &in, &out), noErr);
    EXPECT_EQ(uint32_t(in), 0x80001101u);
    EXPECT_EQ(uint32_t(out), 0x9A000020u);
    CloseComponent(vdig);
    vdig = nullptr;
    UnregisterComponent(component);
    component = nullptr;
    sim::detachAllCameras();

    ASSERT_NE(open(0x01A5), nullptr);
    DigitizerInfo mono{};
    ASSERT_EQ(VDGetDigitizerInfo(vdig, &mono), noErr);
    EXPECT_EQ(mono.inputCapabilityFlags, 0x00002181);
    EXPECT_EQ(mono.outputCapabilityFlags, 0x1A000028);
    ASSERT_EQ(VDGetCurrentFlags(vdig, &in, &out), noErr);
    EXPECT_EQ(uint32_t(in), 0x80002101u);
    EXPECT_EQ(uint32_t(out), 0x9A000028u);
}

TEST_F(VdigGeometry, OneInputNamedAfterTheCamera) {
    ASSERT_NE(open(0x01A8), nullptr);
    short inputs = 9, format = 9, input = 9;
    EXPECT_EQ(VDGetNumberOfInputs(vdig, &inputs), noErr);
    EXPECT_EQ(inputs, 0);
    EXPECT_EQ(VDGetInputFormat(vdig, 0, &format), noErr);
    EXPECT_EQ(format, 0);
    EXPECT_EQ(VDSetInput(vdig, 1), qtParamErr);
    EXPECT_EQ(VDSetInput(vdig, 0), noErr);
    EXPECT_EQ(VDSetInput(vdig, -1), noErr);
    EXPECT_EQ(VDGetInput(vdig, &input), noErr);
    EXPECT_EQ(input, 0);
    EXPECT_EQ(VDSetInputStandard(vdig, 3), noErr);
    Str255 name{};
    ASSERT_EQ(VDGetInputName(vdig, 0, name), noErr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(name + 1), name[0]), std::string(info.name));
}

TEST_F(VdigGeometry, PreferredDimensionsAreTheSubsampledWindow) {
    ASSERT_NE(open(0x01A8), nullptr);
    long width = 0, height = 0;
    ASSERT_EQ(VDGetPreferredImageDimensions(vdig, &width, &height), noErr);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    CameraRecord &r = *cameraRecord(GetComponentInstanceStorage(vdig));
    r.imageWidth = 1280;
    r.imageHeight = 1024;
    r.subSampleX = r.subSampleY = 2;
    ASSERT_EQ(VDGetPreferredImageDimensions(vdig, &width, &height), noErr);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 512);
}

TEST_F(VdigGeometry, UnpluggedCameraAnswersNoDevice) {
    ASSERT_NE(open(0x01A8), nullptr);
    cam->unplug();
    CameraRecord &r = *cameraRecord(GetComponentInstanceStorage(vdig));
    for (int i = 0; i < 20 && atomicField(r.cameraRemoved).load() == 0; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
    Rect rect{};
    short inputs = 0;
    EXPECT_EQ(VDGetMaxSrcRect(vdig, 0, &rect), kIOReturnNoDevice);
    EXPECT_EQ(VDGetNumberOfInputs(vdig, &inputs), kIOReturnNoDevice);
    EXPECT_EQ(VDSetInputStandard(vdig, 0), kIOReturnNoDevice);
}

} // namespace
