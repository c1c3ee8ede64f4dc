// The driver on real-device paths: the loader bringing unprogrammed cameras up through libusb
// (firmware, re-enumeration on the same port, FPGA, registration), the camera opened and
// streaming, an unplug while it streams, and a node the user may not open.
#include "usbfs/backend_support.h"

#include "usb/loader_support.h"

#include "libusb/errors.h"

#include "platform/components.h"
#include "platform/memory.h"
#include "platform/videodigitizer.h"
#include "usb/camera_record.h"
#include "usb/firmware.h"
#include "usb/registration.h"
#include "vdig/vdig.h"

#include <qorvanta/camera.h>
#include <qorvanta/imaging.h>
#include <qorvanta/stream.h>
#include <qorvanta/usb.h>

#include <cstdlib>
#include <filesystem>
#include <map>

namespace qor::testing {
namespace {

using namespace std::chrono_literals;

sim::CameraOptions unprogrammed(uint16_t productID, std::string serial) {
    sim::CameraOptions options;
    options.productID = productID;
    options.serial = std::move(serial);
    options.reenumerationDelay = 100ms;
    return options;
}

template <typename T> T load(T &field) {
    return atomicField(field).load();
}

class BackendDriver : public BackendTest {
protected:
    void SetUp() override {
        if (const char *old = std::getenv("QORVANTA_BUNDLE")) previousBundle_ = old;
        setenv("QORVANTA_BUNDLE",
               (std::filesystem::path(QORVANTA_SOURCE_DIR) / "resources").c_str(), 1);
        BackendTest::SetUp();
        usb::unregisterCameraDigitizers();
    }
    void TearDown() override {
        for (CameraHandle camera : cameras_) {
            QORACameraStopVideo(camera, 1);
            if (CameraRecord *r = cameraRecord(camera)) {
                std::free(r->dataRateTable);
                r->dataRateTable = nullptr;
            }
            QORUSBCloseCamera(camera);
            DisposeHandle(camera);
        }
        usb::unregisterCameraDigitizers();
        BackendTest::TearDown();
        if (previousBundle_.empty())
            unsetenv("QORVANTA_BUNDLE");
        else
            setenv("QORVANTA_BUNDLE", previousBundle_.c_str(), 1);
    }

    // Opens the camera as the digitizer does, by vendor, product and name.
    CameraHandle open(const sim::SimCamera &camera) {
        CameraHandle handle = newCameraHandle();
        cameras_.push_back(handle);
        const std::string name = std::string(camera.model().productName) + "-" + camera.serial();
        EXPECT_EQ(QORUSBOpenCamera(camera.model().vendorID, camera.model().productID, name.c_str(),
                                   handle),
                  0);
        return handle;
    }

    // A 160 x 120 window and a frame ring the record owns for the test, as the digitizer
    // prepares one before it starts video.
    void prepareStream(CameraHandle camera) {
        CameraRecord &r = *cameraRecord(camera);
        uint32_t sensorCode = 0, bits = 0;
        ASSERT_EQ(QORAWriteTwoCameraRegister(camera, 0x1008, 0, 0), 0);
        ASSERT_EQ(QORAWriteTwoCameraRegister(camera, 0x100C, 160, 120), 0);
        ASSERT_EQ(QORAWriteOneCameraRegister(camera, 0x04A4, 2000), 0);
        ASSERT_EQ(QORAReadOneCameraRegister(camera, 0x1014, &sensorCode), 0);
        ASSERT_EQ(QORAImageFormatToQTFormat(sensorCode, &r.bayerPattern, &bits), 0);
        r.rawWidth = 160;
        r.rawHeight = 120;
        r.rawFrameBytes = 160 * 120;
        r.colorSensor = r.bayerPattern != 0;
        r.decodeMethod = r.outputFormat = 1;
        r.destRowBytes = r.colorSensor ? 4 * 160 : 160;
        r.compressedFrameBytes = r.destRowBytes * 120;
        auto &slots = slots_.emplace_back();
        for (int i = 0; i < kFrameSlotCount; ++i) {
            slots[i].assign(r.compressedFrameBytes, 0);
            r.frameSlots[i] = slots[i].data();
        }
        r.writeSlot = 0;
        r.readSlot = r.lastFilledSlot = kNoSlot;
        r.framesWanted = 0; // every frame is read, none decoded
    }

    std::vector<CameraHandle> cameras_;
    std::vector<std::array<std::vector<uint8_t>, kFrameSlotCount>> slots_;
    std::string previousBundle_;
};

TEST_F(BackendDriver, LoaderBringsUpTwoCamerasOfOneModelWhichThenStream) {
    auto first = bus_->attach(unprogrammed(0x00A1, "FIRST"));
    auto second = bus_->attach(unprogrammed(0x00A1, "SECOND"));
    ASSERT_TRUE(first && second && deviceOf(*first) && deviceOf(*second));
    const uint32_t firstPort = first->locationID(), secondPort = second->locationID();

    EXPECT_EQ(QORUSBInitializeLoader(), 0);
    EXPECT_EQ(gWasCameraFirmwareLoaded, 1);
    auto registered = test::registeredDigitizers();
    EXPECT_EQ(registered.size(), 2u);
    for (const auto &camera : {first, second}) {
        SCOPED_TRACE(camera->serial());
        EXPECT_EQ(camera->state(), sim::CameraState::Running);
        EXPECT_TRUE(camera->fpgaConfigured());
        const std::string name = std::string(camera->model().productName) + "-" + camera->serial();
        ASSERT_EQ(registered.count(name), 1u);
        EXPECT_EQ(registered[name].productID, camera->model().productID);
        EXPECT_EQ(registered[name].locationID, camera->locationID());
    }
    // Re-enumerated on the ports they had.
    EXPECT_EQ(first->locationID(), firstPort);
    EXPECT_EQ(second->locationID(), secondPort);

    // Both open and stream at once.
    std::vector<CameraHandle> handles;
    for (const auto &camera : {first, second}) {
        ASSERT_TRUE(released(*camera));
        CameraHandle handle = open(*camera);
        prepareStream(handle);
        ASSERT_EQ(QORACameraStartVideo(handle, 1), 0);
        handles.push_back(handle);
    }
    for (CameraHandle handle : handles) {
        CameraRecord &r = *cameraRecord(handle);
        EXPECT_TRUE(eventually([&] { return load(r.framesUnrequested) >= 10; }));
        EXPECT_EQ(QORACameraStopVideo(handle, 0), 0);
        EXPECT_EQ(load(r.framesLostInTransfer), 0u);
    }
}

TEST_F(BackendDriver, UnplugWhileStreamingLeavesEveryRequestNoDeviceAndCloseSucceeds) {
    auto camera = bus_->attach(runningCamera(0x03AD));
    ASSERT_TRUE(camera && deviceOf(*camera));
    ASSERT_EQ(QORUSBInitializeLoader(), 0);
    ASSERT_TRUE(released(*camera));
    CameraHandle handle = open(*camera);
    prepareStream(handle);
    CameraRecord &r = *cameraRecord(handle);
    ASSERT_EQ(QORACameraStartVideo(handle, 1), 0);
    ASSERT_TRUE(eventually([&] { return load(r.framesUnrequested) >= 5; }));

    camera->unplug();
    ASSERT_TRUE(eventually([&] { return load(r.streaming) == 0; }));
    QORACameraStopVideo(handle, 1);
    uint32_t value = 0;
    EXPECT_EQ(QORAReadOneCameraRegister(handle, 0x1014, &value), kIOReturnNoDevice);
    EXPECT_EQ(QORAWriteOneCameraRegister(handle, 0x04A4, 1000), kIOReturnNoDevice);
    uint8_t bytes[4];
    uint32_t count = sizeof bytes;
    EXPECT_EQ(QORUSBReadBulkPipe(handle, 1, bytes, &count), kIOReturnNoDevice);
    EXPECT_EQ(QORUSBCloseCamera(handle), 0);
}

TEST_F(BackendDriver, ANodeTheUserMayNotOpenNamesTheUdevRule) {
    UsbfsNodeOptions denied;
    denied.denyAccess = true;
    auto camera = bus_->attach(runningCamera(0x00A1), denied);
    ASSERT_TRUE(camera);
    auto device = deviceOf(*camera);
    ASSERT_TRUE(device);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(device->open(), kIOReturnExclusiveAccess);
    EXPECT_EQ(device->open(), kIOReturnExclusiveAccess);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const auto ports = UsbfsBus::portPath(camera->locationID());
    std::string path;
    for (uint8_t port : ports) path += (path.empty() ? "" : ".") + std::to_string(port);
    const std::string advice =
        libusb::permissionMessage(UsbfsBus::busNumber(camera->locationID()), path);
    EXPECT_NE(err.find(advice), std::string::npos) << err;
    EXPECT_EQ(err.find(advice), err.rfind(advice)) << "said once: " << err;
    EXPECT_NE(
        advice.find("bus " +
                    std::to_string(1000 + UsbfsBus::busNumber(camera->locationID())).substr(1) +
                    " port " + path + "."),
        std::string::npos)
        << advice;

    // Allowed again, the camera opens.
    bus_->setDenyAccess(*camera, false);
    EXPECT_EQ(device->open(), kIOReturnSuccess);
    device->close();
}

} // namespace
} // namespace qor::testing
