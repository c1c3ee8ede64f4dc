// The simulated FPGA: configuration through register 0x0008 and endpoint 2 in alternate
// setting 1, registers that exist only once it is configured, and the sensor initialisation.
#include "sim_test_support.h"

namespace qor::sim::test {
namespace {

class SimFpga : public SimFixture {
protected:
    std::shared_ptr<usb::Device> runningUnconfigured(uint16_t productID,
                                                     std::shared_ptr<SimCamera> &camera,
                                                     uint16_t release = 0) {
        CameraOptions options;
        options.productID = productID;
        options.firmwareLoaded = true;
        options.releaseNumber = release;
        camera = attachCamera(options);
        auto device = deviceOf(*camera);
        EXPECT_TRUE(device);
        if (device) openDevice(*device);
        return device;
    }
};

TEST_F(SimFpga, ValidBitstreamConfigures) {
    std::shared_ptr<SimCamera> camera;
    auto device = runningUnconfigured(0x0092, camera, 1);
    EXPECT_EQ(readRegister(*device, 0x0008) & 0x20, 0u);
    const auto bits = buildBitstream(0x0092, releaseBit(1));
    EXPECT_EQ(configureFpga(*device, bits) & 0x20, 0x20u);
    EXPECT_TRUE(camera->fpgaConfigured());
    EXPECT_EQ(camera->lastBitstream(), bits);
}

TEST_F(SimFpga, BitstreamOfAnotherModelOrReleaseDoesNotConfigure) {
    std::shared_ptr<SimCamera> camera;
    auto device = runningUnconfigured(0x0092, camera, 1);
    EXPECT_EQ(configureFpga(*device, buildBitstream(0x0096, kAnyRelease)) & 0x20, 0u);
    EXPECT_EQ(configureFpga(*device, buildBitstream(0x0092, releaseBit(0))) & 0x20, 0u);
    auto corrupt = buildBitstream(0x0092, releaseBit(1));
    corrupt[corrupt.size() / 2] ^= 0x40;
    EXPECT_EQ(configureFpga(*device, corrupt) & 0x20, 0u);
    EXPECT_FALSE(camera->fpgaConfigured());
}

TEST_F(SimFpga, BitstreamSentInPiecesConfiguresToo) {
    std::shared_ptr<SimCamera> camera;
    auto device = runningUnconfigured(0x00A1, camera);
    auto bits = buildBitstream(0x00A1, kAnyRelease);
    ASSERT_EQ(device->setAlternateSetting(0, 1), 0);
    ASSERT_EQ(writeRegister(*device, 0x0008, 0xFFFFFFFF), 0);
    uint32_t moved = 0;
    const uint32_t half = uint32_t(bits.size() / 2);
    ASSERT_EQ(device->bulkTransfer(kBulkOut, bits.data(), half, kTimeouts, moved), 0);
    EXPECT_EQ(moved, half);
    ASSERT_EQ(device->bulkTransfer(kBulkOut, bits.data() + half, uint32_t(bits.size()) - half,
                                   kTimeouts, moved),
              0);
    ASSERT_EQ(writeRegister(*device, 0x0008, 0), 0);
    EXPECT_TRUE(camera->fpgaConfigured());
}

TEST_F(SimFpga, FpgaThatNeverConfiguresStaysBlank) {
    std::shared_ptr<SimCamera> camera;
    auto device = runningUnconfigured(0x00A1, camera);
    camera->setFpgaNeverConfigures(true);
    EXPECT_EQ(configureFpga(*device, buildBitstream(0x00A1, kAnyRelease)) & 0x20, 0u);
}

TEST_F(SimFpga, BitstreamEndpointExistsOnlyInAlternateSetting1) {
    std::shared_ptr<SimCamera> camera;
    auto device = runningUnconfigured(0x00A1, camera);
    uint8_t bytes[16] = {};
    uint32_t moved = 0;
    EXPECT_EQ(device->bulkTransfer(kBulkOut, bytes, 16, kTimeouts, moved), kIOReturnBadArgument);
    ASSERT_EQ(device->setAlternateSetting(0, 2), 0);
    EXPECT_EQ(device->bulkTransfer(kBulkOut, bytes, 16, kTimeouts, moved), kIOReturnBadArgument);
    ASSERT_EQ(device->setAlternateSetting(0, 1), 0);
    EXPECT_EQ(device->bulkTransfer(kBulkOut, bytes, 16, kTimeouts, moved), 0);
    EXPECT_EQ(device->setAlternateSetting(0, 3), kIOUSBPipeStalled);
}

TEST_F(SimFpga, RegistersStallUntilConfiguredExceptStatusAndVersion) {
    std::shared_ptr<SimCamera> camera;
    auto device = runningUnconfigured(0x01A4, camera);
    uint32_t value;
    EXPECT_EQ(readRegister(*device, 0x1000, value), kIOUSBPipeStalled);
    EXPECT_EQ(writeRegister(*device, 0x0214, 0x80), kIOUSBPipeStalled);
    EXPECT_EQ(readRegister(*device, 0x0008, value), 0);
    EXPECT_EQ(readRegister(*device, 0x000C, value), 0);
    EXPECT_EQ(value, 0x04010000u) << "version 4.1";
    configureFpga(*device, buildBitstream(0x01A4, kAnyRelease));
    EXPECT_EQ(readRegister(*device, 0x1000), (3120u << 16) | 3888u);
}

TEST_F(SimFpga, ModelWithoutFpgaReadsConfiguredAndStreamsInAlternateSetting1) {
    std::shared_ptr<SimCamera> camera;
    auto device = runningUnconfigured(0x03AD, camera);
    EXPECT_EQ(readRegister(*device, 0x0008) & 0x20, 0x20u);
    EXPECT_EQ(readRegister(*device, 0x1000), (480u << 16) | 640u);
    const auto config = device->configDescriptor(0);
    ASSERT_EQ(config.interfaces.size(), 3u);
    ASSERT_EQ(config.interfaces[1].endpoints.size(), 1u);
    EXPECT_EQ(config.interfaces[1].endpoints[0].bEndpointAddress, kBulkIn);
    ASSERT_EQ(device->setAlternateSetting(0, 1), 0);
    EXPECT_EQ(device->endpointStatus(kBulkIn), 0);
}

TEST_F(SimFpga, SensorInitialisationOnlyOnTheModelThatHasIt) {
    std::shared_ptr<SimCamera> camera;
    auto device = runningUnconfigured(0x009A, camera, 1);
    configureFpga(*device, buildBitstream(0x009A, kAnyRelease));
    uint8_t word[8] = {0x35, 0xAA, 0xBB, 0xCC};
    uint32_t moved = 0;
    EXPECT_EQ(device->controlTransfer({0x40, 0x13, 0x02B, 6, 4}, word, kTimeouts, moved), 0);
    word[0] = 0xC4; // only six bits reach the sensor
    EXPECT_EQ(device->controlTransfer({0x40, 0x13, 0x010, 6, 4}, word, kTimeouts, moved), 0);
    EXPECT_EQ(device->controlTransfer({0x40, 0x13, 0x400, 6, 4}, word, kTimeouts, moved),
              kIOUSBPipeStalled);
    for (uint16_t length : {1, 2, 8}) // one 4-byte word per request, and only that
        EXPECT_EQ(device->controlTransfer({0x40, 0x13, 0x011, 6, length}, word, kTimeouts, moved),
                  kIOUSBPipeStalled)
            << length;
    const std::vector<std::pair<uint16_t, uint8_t>> expected = {{0x02B, 0x35}, {0x010, 0x04}};
    EXPECT_EQ(camera->sensorWrites(), expected);

    std::shared_ptr<SimCamera> other;
    auto otherDevice = runningUnconfigured(0x00A1, other);
    configureFpga(*otherDevice, buildBitstream(0x00A1, kAnyRelease));
    EXPECT_EQ(otherDevice->controlTransfer({0x40, 0x13, 0x02B, 6, 4}, word, kTimeouts, moved),
              kIOUSBPipeStalled);
    EXPECT_TRUE(other->sensorWrites().empty());
}

TEST_F(SimFpga, ReconfigurationResetsTheRegisters) {
    std::shared_ptr<SimCamera> camera;
    auto device = runningUnconfigured(0x00A1, camera);
    const auto bits = buildBitstream(0x00A1, kAnyRelease);
    configureFpga(*device, bits);
    ASSERT_EQ(writeRegister(*device, 0x04A4, 20000), 0);
    configureFpga(*device, bits);
    EXPECT_EQ(readRegister(*device, 0x04A4), camera->model().exposure.initial);
}

} // namespace
} // namespace qor::sim::test
