// The simulated camera as a USB device: descriptors, strings, exclusive open, standard requests
// and the transfer log, with several cameras on the bus.
#include "sim_test_support.h"

#include <set>

namespace qor::sim::test {
namespace {

using SimUsb = SimFixture;

std::string readString(usb::Device &device, uint8_t index, IOReturn &result) {
    uint8_t header[2] = {};
    uint32_t moved = 0;
    result =
        device.controlTransfer({0x80, 6, uint16_t(0x0300 | index), 0, 2}, header, kTimeouts, moved);
    if (result) return {};
    EXPECT_EQ(moved, 2u) << "a 2-byte request gets the header only";
    EXPECT_EQ(header[1], 3);
    std::vector<uint8_t> full(header[0]);
    result = device.controlTransfer({0x80, 6, uint16_t(0x0300 | index), 0, header[0]}, full.data(),
                                    kTimeouts, moved);
    EXPECT_EQ(moved, header[0]);
    std::string text;
    for (size_t i = 2; i + 1 < full.size(); i += 2) text.push_back(char(full[i]));
    return text;
}

TEST_F(SimUsb, RunningCameraHasManufacturerProductAndSerialStrings) {
    CameraOptions options;
    options.productID = 0x01A8;
    options.firmwareLoaded = true;
    options.serial = "QS123456";
    auto camera = attachCamera(options);
    auto device = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    IOReturn result;
    EXPECT_EQ(readString(*device, 1, result), "Qorvanta");
    EXPECT_EQ(readString(*device, 2, result), camera->model().productName);
    EXPECT_EQ(readString(*device, 3, result), "QS123456");
    EXPECT_EQ(camera->serial(), "QS123456");

    uint8_t languages[4] = {};
    uint32_t moved = 0;
    ASSERT_EQ(device->controlTransfer({0x80, 6, 0x0300, 0, 4}, languages, kTimeouts, moved), 0);
    const uint8_t expected[4] = {4, 3, 0x09, 0x04};
    EXPECT_TRUE(std::equal(languages, languages + 4, expected));
    readString(*device, 4, result);
    EXPECT_EQ(result, kIOUSBPipeStalled);
}

TEST_F(SimUsb, RemovedStringsHaveIndexZeroAndStall) {
    CameraOptions options;
    options.productID = 0x00A1;
    options.firmwareLoaded = true;
    auto camera = attachCamera(options);
    auto device = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    camera->setProductString("");
    EXPECT_EQ(device->deviceDescriptor().iProduct, 0);
    EXPECT_EQ(device->deviceDescriptor().iSerialNumber, 3);
    IOReturn result;
    readString(*device, 2, result);
    EXPECT_EQ(result, kIOUSBPipeStalled);
    camera->setSerialString("X-1");
    EXPECT_EQ(readString(*device, 3, result), "X-1");
    camera->setProductString("A product name of exactly 40 chars......");
    EXPECT_EQ(readString(*device, 2, result).size(), 40u);
}

TEST_F(SimUsb, EveryModelNamesItselfWithinThirtyCharacters) {
    for (const ModelProfile &model : modelProfiles()) {
        EXPECT_LE(std::string(model.productName).size(), 30u) << model.productName;
        EXPECT_FALSE(std::string(model.productName).empty());
    }
}

TEST_F(SimUsb, DescriptorsOfTheRunningCamera) {
    CameraOptions options;
    options.productID = 0x04A2;
    options.firmwareLoaded = true;
    auto camera = attachCamera(options);
    auto device = deviceOf(*camera);
    const usb::ConfigDescriptor config = device->configDescriptor(0);
    EXPECT_EQ(config.bConfigurationValue, 1);
    ASSERT_EQ(config.interfaces.size(), 3u);
    for (int alt = 0; alt < 3; ++alt) {
        EXPECT_EQ(config.interfaces[alt].bInterfaceNumber, 0);
        EXPECT_EQ(config.interfaces[alt].bAlternateSetting, alt);
    }
    EXPECT_TRUE(config.interfaces[0].endpoints.empty());
    ASSERT_EQ(config.interfaces[1].endpoints.size(), 1u);
    EXPECT_EQ(config.interfaces[1].endpoints[0].bEndpointAddress, kBulkOut);
    ASSERT_EQ(config.interfaces[2].endpoints.size(), 1u);
    EXPECT_EQ(config.interfaces[2].endpoints[0].bEndpointAddress, kBulkIn);
    EXPECT_EQ(config.interfaces[2].endpoints[0].wMaxPacketSize, 512);
    EXPECT_EQ(config.interfaces[2].endpoints[0].bmAttributes, usb::kTransferTypeBulk);

    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    uint8_t bytes[64] = {};
    uint32_t moved = 0;
    ASSERT_EQ(device->controlTransfer({0x80, 6, 0x0100, 0, 18}, bytes, kTimeouts, moved), 0);
    EXPECT_EQ(moved, 18u);
    EXPECT_EQ(bytes[10] | bytes[11] << 8, 0x04A2);
    ASSERT_EQ(device->controlTransfer({0x80, 6, 0x0200, 0, 64}, bytes, kTimeouts, moved), 0);
    EXPECT_EQ(moved, 9u + 3 * 9 + 2 * 7);
    EXPECT_EQ(bytes[2] | bytes[3] << 8, int(moved));
}

TEST_F(SimUsb, OpenIsExclusive) {
    CameraOptions options;
    options.productID = 0x00A1;
    auto camera = attachCamera(options);
    auto device = deviceOf(*camera);
    EXPECT_EQ(device->open(), 0);
    EXPECT_EQ(device->open(), kIOReturnExclusiveAccess);
    device->close();
    EXPECT_EQ(device->open(), 0);
}

TEST_F(SimUsb, TransfersNeedAnOpenDeviceAndAClaimedInterface) {
    CameraOptions options;
    options.productID = 0x00A1;
    options.firmwareLoaded = true;
    options.fpgaConfigured = true;
    auto camera = attachCamera(options);
    auto device = deviceOf(*camera);
    uint32_t value;
    EXPECT_EQ(readRegister(*device, 0x1000, value), kIOReturnNotOpen);
    ASSERT_EQ(device->open(), 0);
    EXPECT_EQ(device->claimInterface(0), kIOReturnBadArgument) << "not configured yet";
    ASSERT_EQ(device->setConfiguration(1), 0);
    EXPECT_EQ(device->setAlternateSetting(0, 2), kIOReturnNotOpen);
    EXPECT_EQ(device->endpointStatus(kBulkIn), kIOReturnNotOpen);
    ASSERT_EQ(device->claimInterface(0), 0);
    EXPECT_EQ(device->endpointStatus(kBulkIn), kIOReturnBadArgument) << "alternate setting 0";
    ASSERT_EQ(device->setAlternateSetting(0, 2), 0);
    EXPECT_EQ(device->endpointStatus(kBulkIn), 0);
    EXPECT_EQ(readRegister(*device, 0x1000, value), 0);
}

TEST_F(SimUsb, StandardRequestsAndHostActionsAreLogged) {
    CameraOptions options;
    options.productID = 0x00A1;
    options.firmwareLoaded = true;
    options.fpgaConfigured = true;
    auto camera = attachCamera(options);
    auto device = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    ASSERT_EQ(device->setAlternateSetting(0, 2), 0);
    ASSERT_EQ(device->clearHalt(kBulkIn), 0);
    ASSERT_EQ(writeRegister(*device, 0x0694, 258000), kIOUSBPipeStalled); // uncooled
    ASSERT_EQ(device->abortEndpoint(kBulkIn), 0);
    device->releaseInterface(0);
    device->close();

    using K = Transfer::Kind;
    const auto log = camera->transferLog();
    ASSERT_EQ(log.size(), 9u);
    EXPECT_EQ(log[0].kind, K::Open);
    EXPECT_EQ(log[1].kind, K::Control);
    EXPECT_EQ(log[1].bmRequestType, 0x00);
    EXPECT_EQ(log[1].bRequest, 9);
    EXPECT_EQ(log[1].wValue, 1);
    EXPECT_EQ(log[2].kind, K::Claim);
    EXPECT_EQ(log[3].bmRequestType, 0x01);
    EXPECT_EQ(log[3].bRequest, 11);
    EXPECT_EQ(log[3].wValue, 2);
    EXPECT_EQ(log[3].wIndex, 0);
    EXPECT_EQ(log[4].bmRequestType, 0x02);
    EXPECT_EQ(log[4].bRequest, 1);
    EXPECT_EQ(log[4].wValue, 0);
    EXPECT_EQ(log[4].wIndex, kBulkIn);
    EXPECT_EQ(log[5].bmRequestType, 0x40);
    EXPECT_EQ(log[5].bRequest, 0x12);
    EXPECT_EQ(log[5].wIndex, 0x0694);
    EXPECT_EQ(log[5].wLength, 4);
    EXPECT_EQ(log[5].data, (std::vector<uint8_t>{0xD0, 0xEF, 0x03, 0x00}));
    EXPECT_EQ(log[5].result, kIOUSBPipeStalled);
    EXPECT_EQ(log[6].kind, K::Abort);
    EXPECT_EQ(log[6].endpoint, kBulkIn);
    EXPECT_EQ(log[7].kind, K::Release);
    EXPECT_EQ(log[8].kind, K::Close);

    camera->clearTransferLog();
    EXPECT_TRUE(camera->transferLog().empty());
}

TEST_F(SimUsb, ReadsAreLoggedWithTheBytesReturned) {
    std::shared_ptr<SimCamera> camera;
    auto device = openRunning(0x01A5, &camera);
    camera->clearTransferLog();
    readRegister(*device, 0x1000);
    const auto log = camera->transferLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].bmRequestType, 0xC0);
    EXPECT_EQ(log[0].wIndex, 0x1000);
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0x70, 0x05, 0x10, 0x04}));
    EXPECT_EQ(log[0].result, 0);
}

TEST_F(SimUsb, SeveralCamerasOfOneModelAreToldApart) {
    std::vector<std::shared_ptr<SimCamera>> cameras;
    for (int i = 0; i < 3; ++i) {
        CameraOptions options;
        options.productID = 0x01A8;
        options.firmwareLoaded = true;
        cameras.push_back(attachCamera(options));
    }
    EXPECT_EQ(simulatedBus()->devices().size(), 3u);
    std::set<uint32_t> locations;
    std::set<std::string> serials;
    for (auto &camera : cameras) {
        locations.insert(camera->locationID());
        serials.insert(camera->serial());
        auto device = deviceOf(*camera);
        ASSERT_TRUE(device);
        EXPECT_EQ(device->locationID(), camera->locationID());
        EXPECT_EQ(device->open(), 0) << "each camera is opened on its own";
    }
    EXPECT_EQ(locations.size(), 3u);
    EXPECT_EQ(serials.size(), 3u);
}

TEST_F(SimUsb, BusListenerHearsArrivalsAndDepartures) {
    struct Recorder : usb::BusListener {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::pair<char, std::shared_ptr<usb::Device>>> events;
        void deviceArrived(const std::shared_ptr<usb::Device> &d) override { add('+', d); }
        void deviceLeft(const std::shared_ptr<usb::Device> &d) override { add('-', d); }
        void add(char what, const std::shared_ptr<usb::Device> &d) {
            std::lock_guard lock(mutex);
            events.emplace_back(what, d);
            changed.notify_all();
        }
        bool waitFor(size_t n) {
            std::unique_lock lock(mutex);
            return changed.wait_for(lock, 10s, [&] { return events.size() >= n; });
        }
    } recorder;
    // Borrow the bus's reports from the platform layer for this test (attaching once first,
    // so that the bus is among the platform's backends already).
    CameraOptions options;
    attachCamera(options);
    detachAllCameras();
    usb::removeBackend(simulatedBus());
    simulatedBus()->setListener(&recorder);

    options.productID = 0x01A2;
    options.releaseNumber = 0x10;
    options.reenumerationDelay = 10ms;
    auto camera = attachCamera(options);
    auto first = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*first));
    ASSERT_EQ(downloadFirmware(*first, buildFirmwareImage(0x01A2, releaseBit(0x10))), 0);
    ASSERT_TRUE(camera->waitUntilRunning(5s));
    auto second = deviceOf(*camera);
    camera->unplug();
    ASSERT_TRUE(recorder.waitFor(4));

    simulatedBus()->setListener(nullptr);
    usb::addBackend(simulatedBus());
    std::lock_guard lock(recorder.mutex);
    ASSERT_EQ(recorder.events.size(), 4u);
    EXPECT_EQ(recorder.events[0], std::make_pair('+', first));
    EXPECT_EQ(recorder.events[1], std::make_pair('-', first));
    EXPECT_EQ(recorder.events[2], std::make_pair('+', second));
    EXPECT_EQ(recorder.events[3], std::make_pair('-', second));
}

} // namespace
} // namespace qor::sim::test
