// The simulated FX2: unprogrammed enumeration, RAM load under a held CPU, boot only with the
// model's own image, re-enumeration as the running camera.
#include "sim_test_support.h"

#include "usb/vendor_ids.h"

namespace qor::sim::test {
namespace {

class SimFx2 : public SimFixture {
protected:
    std::shared_ptr<SimCamera> attachUnprogrammed(uint16_t productID,
                                                  std::optional<uint16_t> release = {}) {
        CameraOptions options;
        options.productID = productID;
        options.releaseNumber = release;
        options.reenumerationDelay = 20ms;
        return attachCamera(options);
    }
};

TEST_F(SimFx2, UnprogrammedControllerEnumeratesWithBit15AndNoStrings) {
    auto camera = attachUnprogrammed(0x01A5, 2);
    auto device = deviceOf(*camera);
    ASSERT_TRUE(device);
    const usb::DeviceDescriptor d = device->deviceDescriptor();
    EXPECT_EQ(d.idProduct, 0x81A5);
    EXPECT_EQ(d.idVendor, cameraVendorFor(0x01A5));
    EXPECT_EQ(d.bDeviceSubClass, 0xFF);
    EXPECT_EQ(d.bcdDevice, 2);
    EXPECT_EQ(d.iManufacturer, 0);
    EXPECT_EQ(d.iProduct, 0);
    EXPECT_EQ(d.iSerialNumber, 0);
    EXPECT_EQ(camera->state(), CameraState::Unprogrammed);

    openDevice(*device);
    uint8_t header[2];
    uint32_t moved = 0;
    EXPECT_EQ(device->controlTransfer({0x80, 6, 0x0302, 0, 2}, header, kTimeouts, moved),
              kIOUSBPipeStalled);
    uint32_t value;
    EXPECT_EQ(readRegister(*device, 0x0008, value), kIOUSBPipeStalled)
        << "no firmware runs to answer register requests";
}

TEST_F(SimFx2, ValidImageBootsAndTheCameraComesBackAsTheModel) {
    auto camera = attachUnprogrammed(0x01A5, 1);
    auto device = deviceOf(*camera);
    ASSERT_TRUE(device);
    const uint32_t location = device->locationID();
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    const auto image = buildFirmwareImage(0x01A5, releaseBit(0) | releaseBit(1));
    ASSERT_EQ(downloadFirmware(*device, image), 0);

    ASSERT_TRUE(camera->waitUntilRunning(5s));
    EXPECT_FALSE(device->attached());
    EXPECT_EQ(device->open(), kIOReturnNoDevice) << "the old enumeration is gone";
    auto running = deviceOf(*camera);
    ASSERT_TRUE(running);
    EXPECT_NE(running, device);
    EXPECT_EQ(running->locationID(), location);
    const usb::DeviceDescriptor d = running->deviceDescriptor();
    EXPECT_EQ(d.idProduct, 0x01A5);
    EXPECT_EQ(d.bDeviceSubClass, 0);
    EXPECT_EQ(d.bcdDevice, 1);
    EXPECT_EQ(d.iManufacturer, 1);
    EXPECT_EQ(d.iProduct, 2);
    EXPECT_EQ(d.iSerialNumber, 3);
    EXPECT_FALSE(camera->fpgaConfigured()) << "a fresh FPGA waits for its bitstream";
    const auto ram = camera->fx2Ram();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), ram.begin()));
}

TEST_F(SimFx2, AnotherModelsImageLeavesTheControllerUnprogrammed) {
    auto camera = attachUnprogrammed(0x01A5, 0);
    auto device = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    ASSERT_EQ(downloadFirmware(*device, buildFirmwareImage(0x01A8, kAnyRelease)), 0);
    EXPECT_FALSE(camera->waitUntilRunning(200ms));
    EXPECT_EQ(camera->state(), CameraState::Unprogrammed);
    EXPECT_TRUE(device->attached());
}

TEST_F(SimFx2, ImageForOtherReleasesIsRefused) {
    auto camera = attachUnprogrammed(0x01A2, 0x10);
    auto device = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    ASSERT_EQ(downloadFirmware(*device, buildFirmwareImage(0x01A2, releaseBit(0))), 0);
    EXPECT_FALSE(camera->waitUntilRunning(200ms));
    ASSERT_EQ(downloadFirmware(*device, buildFirmwareImage(0x01A2, releaseBit(0x10))), 0);
    EXPECT_TRUE(camera->waitUntilRunning(5s));
}

TEST_F(SimFx2, RamLoadsNeedTheCpuHeldAnAddressInRamAndIndexZero) {
    auto camera = attachUnprogrammed(0x00A1);
    auto device = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    const uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(fx2Load(*device, 0x0100, bytes, 4), kIOUSBPipeStalled) << "CPU running";
    ASSERT_EQ(setCpuHeld(*device, true), 0);
    EXPECT_EQ(fx2Load(*device, 0x0100, bytes, 4), 0);
    EXPECT_EQ(fx2Load(*device, 0x3FFE, bytes, 4), kIOUSBPipeStalled) << "past the RAM";
    EXPECT_EQ(fx2Load(*device, 0x8000, bytes, 4), kIOUSBPipeStalled);
    // The load request's wIndex is always 0, for the RAM and for the CPU control register.
    const uint8_t other[4] = {9, 9, 9, 9}, release = 0;
    uint32_t moved = 0;
    EXPECT_EQ(device->controlTransfer({0x40, 0xA0, 0x0100, 1, 4}, const_cast<uint8_t *>(other),
                                      kTimeouts, moved),
              kIOUSBPipeStalled);
    EXPECT_EQ(device->controlTransfer({0x40, 0xA0, 0xE600, 0x0100, 1},
                                      const_cast<uint8_t *>(&release), kTimeouts, moved),
              kIOUSBPipeStalled);
    const auto ram = camera->fx2Ram();
    EXPECT_EQ(ram.size(), kFx2RamSize);
    EXPECT_EQ(ram[0x100], 1);
    EXPECT_EQ(ram[0x103], 4);
    EXPECT_EQ(fx2Load(*device, 0x0100, other, 4), 0) << "the CPU is still held";
}

TEST_F(SimFx2, RunningFirmwareRefusesTheLoader) {
    CameraOptions options;
    options.productID = 0x00A1;
    options.firmwareLoaded = true;
    auto camera = attachCamera(options);
    auto device = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    EXPECT_EQ(setCpuHeld(*device, true), kIOUSBPipeStalled);
    const uint8_t bytes[2] = {0xAA, 0x55};
    EXPECT_EQ(fx2Load(*device, 0, bytes, 2), kIOUSBPipeStalled);
    EXPECT_EQ(camera->state(), CameraState::Running);
}

TEST_F(SimFx2, NeverReenumeratingControllerStaysOffTheBus) {
    auto camera = attachUnprogrammed(0x00A1);
    camera->setNeverReenumerates(true);
    auto device = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    ASSERT_EQ(downloadFirmware(*device, buildFirmwareImage(0x00A1, kAnyRelease)), 0);
    for (int i = 0; i < 500 && camera->state() != CameraState::OffBus; ++i)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(camera->state(), CameraState::OffBus);
    EXPECT_FALSE(camera->waitUntilRunning(200ms));
    EXPECT_EQ(deviceOf(*camera), nullptr);
}

TEST_F(SimFx2, UnplugDuringReenumerationCancelsTheComeback) {
    auto camera = attachUnprogrammed(0x00A1);
    auto device = deviceOf(*camera);
    ASSERT_NO_FATAL_FAILURE(openDevice(*device));
    ASSERT_EQ(downloadFirmware(*device, buildFirmwareImage(0x00A1, kAnyRelease)), 0);
    camera->unplug();
    EXPECT_FALSE(camera->waitUntilRunning(200ms));
    EXPECT_EQ(camera->state(), CameraState::Unplugged);
    camera->plug();
    EXPECT_EQ(camera->state(), CameraState::Unprogrammed);
    auto again = deviceOf(*camera);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->deviceDescriptor().idProduct, 0x80A1);
    const auto ram = camera->fx2Ram();
    EXPECT_TRUE(std::all_of(ram.begin(), ram.end(), [](uint8_t b) { return b == 0; }))
        << "power cycling empties the RAM";
}

TEST_F(SimFx2, EveryModelBootsFromItsOwnImageForEachRelease) {
    for (const ModelProfile &model : modelProfiles()) {
        for (uint16_t release : model.releases) {
            SCOPED_TRACE(testing::Message() << std::hex << model.productID << " r" << release);
            auto camera = attachUnprogrammed(model.productID, release);
            auto device = deviceOf(*camera);
            ASSERT_NO_FATAL_FAILURE(openDevice(*device));
            ASSERT_EQ(
                downloadFirmware(*device, buildFirmwareImage(model.productID, releaseBit(release))),
                0);
            ASSERT_TRUE(camera->waitUntilRunning(5s));
            EXPECT_EQ(deviceOf(*camera)->deviceDescriptor().idProduct, model.productID);
            EXPECT_EQ(camera->fpgaConfigured(), !model.hasFpga);
            detachAllCameras();
        }
    }
}

} // namespace
} // namespace qor::sim::test
