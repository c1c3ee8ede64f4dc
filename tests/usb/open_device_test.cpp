// Opening a camera's device and interface: identity, name from the string descriptors.
#include "support/sim_camera.h"
#include "usb/transport.h"
#include "usb/vendor_ids.h"

#include "platform/memory.h"

#include <qorvanta/usb.h>

#include <gtest/gtest.h>

using namespace qor;

namespace {

class OpenUSBDevice : public test::SimTest {
protected:
    // Attaches a camera with the given strings and opens it into a fresh record.
    void openWithStrings(const std::string &product, const std::string &serial) {
        auto cam = sim::attachCamera(test::runningCamera(0x01A5, "unused"));
        cam->setProductString(product);
        cam->setSerialString(serial);
        camera = newCameraHandle();
        auto services = test::matchingServices(cameraVendorFor(0x01A5), 0x01A5);
        ASSERT_EQ(services.size(), 1u);
        cameraRecord(camera)->deviceService = services[0];
        result = myOpenUSBDevice(camera);
    }
    void TearDown() override {
        QORUSBCloseCamera(camera);
        DisposeHandle(camera);
        test::SimTest::TearDown();
    }
    CameraHandle camera = nullptr;
    int32_t result = -99;
};

TEST_F(OpenUSBDevice, NameIsProductHyphenSerial) {
    openWithStrings("Qorvanta Q5", "A1234");
    ASSERT_EQ(result, 0);
    const CameraRecord &r = *cameraRecord(camera);
    EXPECT_STREQ(r.cameraName, "Qorvanta Q5-A1234");
    EXPECT_EQ(r.vendorID, cameraVendorFor(0x01A5));
    EXPECT_EQ(r.productID, 0x01A5);
    EXPECT_NE(r.locationID, 0u);
    EXPECT_NE(r.interfaceInterface, nullptr);
}

TEST_F(OpenUSBDevice, MissingStringsLeaveNoStrayHyphen) {
    openWithStrings("", "SER9");
    ASSERT_EQ(result, 0);
    EXPECT_STREQ(cameraRecord(camera)->cameraName, "SER9");
}

TEST_F(OpenUSBDevice, NoStringsGiveAnEmptyName) {
    openWithStrings("", "");
    ASSERT_EQ(result, 0);
    EXPECT_STREQ(cameraRecord(camera)->cameraName, "");
}

TEST_F(OpenUSBDevice, LongStringsAreCutToThirtyCharacters) {
    std::string product(40, 'P'), serial(35, 'S');
    openWithStrings(product, serial);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(std::string(cameraRecord(camera)->cameraName),
              std::string(30, 'P') + "-" + std::string(30, 'S'));
}

TEST_F(OpenUSBDevice, DeviceHeldByAnotherClientIsNotOpened) {
    auto cam = sim::attachCamera(test::runningCamera(0x00A1));
    cam->holdExclusive(1);
    camera = newCameraHandle();
    auto services = test::matchingServices(cameraVendorFor(0x00A1), 0x00A1);
    ASSERT_EQ(services.size(), 1u);
    cameraRecord(camera)->deviceService = services[0];
    EXPECT_EQ(myOpenUSBDevice(camera), kIOReturnExclusiveAccess);
    EXPECT_EQ(cameraRecord(camera)->interfaceInterface, nullptr);
}

TEST_F(OpenUSBDevice, StringDescriptorRules) {
    auto cam = sim::attachCamera(test::runningCamera(0x00A1, "XY"));
    camera = newCameraHandle();
    auto services = test::matchingServices(cameraVendorFor(0x00A1), 0x00A1);
    ASSERT_EQ(services.size(), 1u);
    cameraRecord(camera)->deviceService = services[0];
    ASSERT_EQ(myOpenUSBDevice(camera), 0);
    IOUSBDeviceInterface187 **dev = cameraRecord(camera)->deviceInterface;
    uint8_t serialIndex = 0;
    (*dev)->USBGetSerialNumberStringIndex(dev, &serialIndex);

    char text[8];
    EXPECT_EQ(myGetStringDescriptor(dev, serialIndex, text, 1, 0), kIOReturnBadArgument);
    // A buffer of 2 holds one character and the terminator.
    ASSERT_EQ(myGetStringDescriptor(dev, serialIndex, text, 2, 0), kIOReturnSuccess);
    EXPECT_STREQ(text, "X");
    ASSERT_EQ(myGetStringDescriptor(dev, serialIndex, text, sizeof text, 0), kIOReturnSuccess);
    EXPECT_STREQ(text, "XY");
    // A string the device does not have is refused by the device, and reported.
    EXPECT_NE(myGetStringDescriptor(dev, 200, text, sizeof text, 0), kIOReturnSuccess);
}

} // namespace
