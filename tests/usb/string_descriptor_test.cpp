// Cameras whose string descriptors are not what they claim to be: the name is built from the bytes
// that arrived, and a descriptor that cannot be read as ASCII fails the open.
#include "platform/memory.h"
#include "support/sim_camera.h"
#include "usb/transport.h"
#include "usb/vendor_ids.h"

#include <qorvanta/usb.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace qor;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint16_t kModel = 0x01A5;
constexpr uint8_t kSerialIndex = 3;

class StringDescriptors : public test::SimTest {
protected:
    // A camera whose serial string answers these requests in turn (the last one repeats).
    std::shared_ptr<sim::SimCamera> attachWithSerialAnswers(std::vector<Bytes> answers) {
        sim::CameraOptions options = test::runningCamera(kModel, "unused");
        options.stringAnswers[kSerialIndex] = std::move(answers);
        return sim::attachCamera(options);
    }
    // Opens the device of the only camera attached into a fresh record.
    int32_t openDevice() {
        camera = newCameraHandle();
        auto services = test::matchingServices(cameraVendorFor(kModel), kModel);
        EXPECT_EQ(services.size(), 1u);
        if (services.empty()) return -99;
        cameraRecord(camera)->deviceService = services[0];
        return myOpenUSBDevice(camera);
    }
    void TearDown() override {
        if (CameraRecord *r = cameraRecord(camera)) {
            std::free(r->dataRateTable);
            r->dataRateTable = nullptr;
        }
        QORUSBCloseCamera(camera);
        DisposeHandle(camera);
        test::SimTest::TearDown();
    }
    static std::string nameWithSerial(const sim::SimCamera &cam, const std::string &serial) {
        return cam.model().productName + std::string("-") + serial;
    }
    CameraHandle camera = nullptr;
};

TEST_F(StringDescriptors, TextHoldsOnlyTheCharactersThatArrived) {
    // The open reads the serial as one character; then its length read says one character, and
    // the full descriptor claims thirty but carries the one.
    const Bytes one = {4, 3, 'A', 0};
    auto cam = attachWithSerialAnswers({one, one, one, {62, 3, 'A', 0}});
    ASSERT_EQ(openDevice(), 0);
    EXPECT_STREQ(cameraRecord(camera)->cameraName, nameWithSerial(*cam, "A").c_str());
    IOUSBDeviceInterface187 **dev = cameraRecord(camera)->deviceInterface;
    // Nothing beyond the character and its terminator is written: no byte the device never sent.
    char text[31];
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(myGetStringDescriptor(dev, kSerialIndex, text, sizeof text, 0), kIOReturnSuccess);
    EXPECT_EQ(std::string(text, sizeof text), std::string("A") + '\0' + std::string(29, 'x'));
}

TEST_F(StringDescriptors, CameraWithAShortDescriptorOpensByItsNameEveryTime) {
    auto cam = attachWithSerialAnswers({{4, 3, 'A', 0}, {62, 3, 'A', 0}});
    camera = newCameraHandle();
    const std::string name = nameWithSerial(*cam, "A");
    for (int open = 0; open < 2; ++open) {
        ASSERT_EQ(QORUSBOpenCamera(cam->model().vendorID, kModel, name.c_str(), camera), 0);
        QORUSBCloseCamera(camera);
        std::free(cameraRecord(camera)->dataRateTable);
        cameraRecord(camera)->dataRateTable = nullptr;
    }
}

TEST_F(StringDescriptors, MalformedDescriptorsFailTheOpenAndLeaveTheBufferAlone) {
    struct Case {
        const char *what;
        std::vector<Bytes> answers;
    };
    const Case cases[] = {
        {"character beyond ASCII", {{6, 3, 'A', 0, 0xE9, 0}}},
        {"character beyond one byte", {{6, 3, 'A', 0, 0x42, 0x04}}},
        {"full descriptor without length", {{4, 3, 'A', 0}, {0, 3, 'A', 0}}},
        {"half a character arrives", {{6, 3, 'A', 0, 'B'}}},
        {"wrong type in the full descriptor", {{4, 3, 'A', 0}, {4, 2, 'A', 0}}},
        {"odd length", {{5, 3, 'A', 0, 'B'}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        attachWithSerialAnswers(c.answers);
        EXPECT_EQ(openDevice(), kIOReturnDeviceError);
        // Read directly, the caller's buffer keeps what it held.
        IOUSBDeviceInterface187 **dev = cameraRecord(camera)->deviceInterface;
        if (dev && c.answers.size() == 1) {
            char text[8] = "before";
            EXPECT_EQ(myGetStringDescriptor(dev, kSerialIndex, text, sizeof text, 0),
                      kIOReturnDeviceError);
            EXPECT_STREQ(text, "before");
        }
        QORUSBCloseCamera(camera);
        DisposeHandle(camera);
        camera = nullptr;
        sim::detachAllCameras();
    }
}

TEST_F(StringDescriptors, DescriptorShorterThanItsLengthGivesWhatArrived) {
    attachWithSerialAnswers({{10, 3, 'A', 0, 'B', 0}});
    ASSERT_EQ(openDevice(), 0);
    IOUSBDeviceInterface187 **dev = cameraRecord(camera)->deviceInterface;
    char text[8];
    ASSERT_EQ(myGetStringDescriptor(dev, kSerialIndex, text, sizeof text, 0), kIOReturnSuccess);
    EXPECT_STREQ(text, "AB");
}

} // namespace
