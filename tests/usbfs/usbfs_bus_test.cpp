// The emulated usbfs bus seen through plain libusb calls: what libusb enumerates, the requests it
// sends and the URBs it reaps must be what the simulated camera's device model answers.
#include "usbfs/usbfs_bus.h"

#include "sim/images.h"
#include "sim/registers.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>
#include <libusb.h>

#include <fstream>
#include <iterator>

namespace qor::testing {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t kBulkOut = 0x02, kBulkIn = 0x86;
constexpr unsigned kTimeoutMs = 5000;

// Every test has its own bus, made before its libusb context and removed after it.
class UsbfsBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus_ = std::make_unique<UsbfsBus>();
        ASSERT_EQ(libusb_init(&context_), 0);
    }
    void TearDown() override {
        if (context_) libusb_exit(context_);
        context_ = nullptr;
        bus_.reset();
    }

    // The libusb device at the camera's node now, referenced; null when libusb has none.
    libusb_device *deviceOf(const sim::SimCamera &camera) {
        const uint8_t address = bus_->deviceAddress(camera);
        libusb_device **list = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &list);
        libusb_device *found = nullptr;
        for (ssize_t i = 0; i < count; ++i)
            if (libusb_get_bus_number(list[i]) == UsbfsBus::busNumber(camera.locationID()) &&
                libusb_get_device_address(list[i]) == address)
                found = libusb_ref_device(list[i]);
        libusb_free_device_list(list, 1);
        return found;
    }
    libusb_device_handle *open(const sim::SimCamera &camera) {
        libusb_device *device = deviceOf(camera);
        EXPECT_NE(device, nullptr);
        if (!device) return nullptr;
        libusb_device_handle *handle = nullptr;
        EXPECT_EQ(libusb_open(device, &handle), 0);
        libusb_unref_device(device);
        return handle;
    }
    // Opened, configured, interface 0 claimed, streaming alternate setting selected.
    libusb_device_handle *openStreaming(const sim::SimCamera &camera) {
        libusb_device_handle *handle = open(camera);
        if (!handle) return nullptr;
        EXPECT_EQ(libusb_set_configuration(handle, 1), 0);
        EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
        EXPECT_EQ(libusb_set_interface_alt_setting(handle, 0, 2), 0);
        return handle;
    }

    std::unique_ptr<UsbfsBus> bus_;
    libusb_context *context_ = nullptr;
};

sim::CameraOptions running(uint16_t productID = 0x00A1) {
    sim::CameraOptions options;
    options.productID = productID;
    options.firmwareLoaded = true;
    options.fpgaConfigured = true;
    return options;
}

int readRegister(libusb_device_handle *handle, uint16_t reg, uint32_t &value) {
    uint8_t bytes[4] = {};
    const int r = libusb_control_transfer(handle, 0xC0, 0x12, 0, reg, bytes, 4, kTimeoutMs);
    value = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
            uint32_t(bytes[3]) << 24;
    return r;
}

int writeRegister(libusb_device_handle *handle, uint16_t reg, uint32_t value) {
    uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                        uint8_t(value >> 24)};
    return libusb_control_transfer(handle, 0x40, 0x12, 0, reg, bytes, 4, kTimeoutMs);
}

std::vector<uint8_t> portsOf(libusb_device *device) {
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, 8);
    return n < 0 ? std::vector<uint8_t>{} : std::vector<uint8_t>(ports, ports + n);
}

// What the device sent on its streaming endpoint, in order, from the transfer log.
[[maybe_unused]] std::vector<std::vector<uint8_t>> bulkInPayloads(const sim::SimCamera &camera) {
    std::vector<std::vector<uint8_t>> payloads;
    for (const auto &t : camera.transferLog())
        if (t.kind == sim::Transfer::Kind::AsyncBulkIn && t.endpoint == kBulkIn && !t.result)
            payloads.push_back(t.data);
    return payloads;
}

TEST_F(UsbfsBusTest, EnumeratesEachCameraWithItsIdsBusPortAndDescriptors) {
    auto first = bus_->attach(running(0x00A1));
    auto second = bus_->attach(running(0x04A2));
    ASSERT_TRUE(first && second);
    for (const auto &camera : {first, second}) {
        SCOPED_TRACE(camera->model().productID);
        libusb_device *device = deviceOf(*camera);
        ASSERT_NE(device, nullptr);
        libusb_device_descriptor descriptor{};
        ASSERT_EQ(libusb_get_device_descriptor(device, &descriptor), 0);
        EXPECT_EQ(descriptor.idVendor, camera->model().vendorID);
        EXPECT_EQ(descriptor.idProduct, camera->model().productID);
        EXPECT_EQ(descriptor.bcdDevice, camera->releaseNumber());
        EXPECT_EQ(libusb_get_bus_number(device), UsbfsBus::busNumber(camera->locationID()));
        EXPECT_EQ(portsOf(device), UsbfsBus::portPath(camera->locationID()));
        EXPECT_EQ(libusb_get_device_speed(device), LIBUSB_SPEED_HIGH);

        // What libusb read at enumeration is, byte for byte, what the device answers.
        libusb_device_handle *handle = nullptr;
        ASSERT_EQ(libusb_open(device, &handle), 0);
        uint8_t answered[18 + 256];
        ASSERT_EQ(libusb_get_descriptor(handle, LIBUSB_DT_DEVICE, 0, answered, 18), 18);
        EXPECT_EQ(answered[8] | answered[9] << 8, descriptor.idVendor);
        EXPECT_EQ(answered[10] | answered[11] << 8, descriptor.idProduct);
        const int configLength =
            libusb_get_descriptor(handle, LIBUSB_DT_CONFIG, 0, answered + 18, 256);
        ASSERT_GT(configLength, 9);
        std::string sysfs = "/sys/bus/usb/devices/" +
                            std::to_string(UsbfsBus::busNumber(camera->locationID())) + "-";
        const auto ports = UsbfsBus::portPath(camera->locationID());
        for (size_t i = 0; i < ports.size(); ++i)
            sysfs += (i ? "." : "") + std::to_string(ports[i]);
        std::ifstream file(sysfs + "/descriptors", std::ios::binary);
        const std::vector<uint8_t> stored{std::istreambuf_iterator<char>(file), {}};
        EXPECT_EQ(stored, std::vector<uint8_t>(answered, answered + 18 + configLength));

        libusb_config_descriptor *config = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(device, &config), LIBUSB_ERROR_NOT_FOUND)
            << "the device arrives unconfigured";
        ASSERT_EQ(libusb_set_configuration(handle, 1), 0);
        ASSERT_EQ(libusb_get_active_config_descriptor(device, &config), 0);
        EXPECT_EQ(config->bConfigurationValue, 1);
        libusb_free_config_descriptor(config);
        libusb_close(handle);
        libusb_unref_device(device);
    }
    EXPECT_NE(UsbfsBus::portPath(first->locationID()), UsbfsBus::portPath(second->locationID()));
}

TEST_F(UsbfsBusTest, RegisterTransfersReachTheModel) {
    auto camera = bus_->attach(running());
    libusb_device_handle *handle = openStreaming(*camera);
    ASSERT_NE(handle, nullptr);
    camera->clearTransferLog();

    uint32_t value = 0;
    ASSERT_EQ(readRegister(handle, sim::kRegVersion, value), 4);
    EXPECT_EQ(value, camera->peekRegister(sim::kRegVersion));
    const uint32_t exposure = camera->peekRegister(0x04A4) + 1000;
    ASSERT_EQ(writeRegister(handle, 0x04A4, exposure), 4);
    EXPECT_EQ(camera->peekRegister(0x04A4), exposure);

    const auto log = camera->transferLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].bmRequestType, 0xC0);
    EXPECT_EQ(log[0].wIndex, sim::kRegVersion);
    EXPECT_EQ(log[1].bmRequestType, 0x40);
    EXPECT_EQ(log[1].wIndex, 0x04A4);

    // A register the device refuses stalls the request.
    EXPECT_EQ(readRegister(handle, 0x7FFC, value), LIBUSB_ERROR_PIPE);
    libusb_close(handle);
}

} // namespace
} // namespace qor::testing
