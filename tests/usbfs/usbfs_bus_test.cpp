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

    // The libusb device at the camera's node now, referenced; null when libusb has none. A node
    // added after the context was made joins its list once libusb's hotplug thread has seen it.
    libusb_device *deviceOf(const sim::SimCamera &camera) {
        libusb_device *found = nullptr;
        for (int tries = 0; tries < 100 && !found; ++tries) {
            if (tries) {
                timeval tv{0, 20000};
                libusb_handle_events_timeout_completed(context_, &tv, nullptr);
            }
            const uint8_t address = bus_->deviceAddress(camera);
            libusb_device **list = nullptr;
            const ssize_t count = libusb_get_device_list(context_, &list);
            for (ssize_t i = 0; i < count; ++i)
                if (libusb_get_bus_number(list[i]) == UsbfsBus::busNumber(camera.locationID()) &&
                    libusb_get_device_address(list[i]) == address)
                    found = libusb_ref_device(list[i]);
            libusb_free_device_list(list, 1);
        }
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

int readRegister(libusb_device_handle *handle, uint16_t reg, uint32_t &value,
                 unsigned timeoutMs = kTimeoutMs) {
    uint8_t bytes[4] = {};
    const int r = libusb_control_transfer(handle, 0xC0, 0x12, 0, reg, bytes, 4, timeoutMs);
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
std::vector<std::vector<uint8_t>> bulkInPayloads(const sim::SimCamera &camera) {
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
        // Bus number and port path are the camera's location, packed as 0xBBPPPPPP.
        const std::vector<uint8_t> ports = portsOf(device);
        ASSERT_FALSE(ports.empty());
        ASSERT_LE(ports.size(), 3u);
        uint32_t location = uint32_t(libusb_get_bus_number(device)) << 24;
        for (size_t i = 0; i < ports.size(); ++i) location |= uint32_t(ports[i]) << (16 - 8 * i);
        EXPECT_EQ(location, camera->locationID());
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
        std::string sysfs =
            "/sys/bus/usb/devices/" + std::to_string(libusb_get_bus_number(device)) + "-";
        for (size_t i = 0; i < ports.size(); ++i) {
            if (i) sysfs += '.';
            sysfs += std::to_string(ports[i]);
        }
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

// Arrivals and departures as libusb's hotplug reports them.
struct HotplugLog {
    struct Event {
        bool arrived;
        uint16_t productID;
        uint8_t bus, address;
        std::vector<uint8_t> ports;
    };
    std::vector<Event> events;

    static int record(libusb_context *, libusb_device *device, libusb_hotplug_event event,
                      void *self) {
        libusb_device_descriptor descriptor{};
        libusb_get_device_descriptor(device, &descriptor);
        static_cast<HotplugLog *>(self)->events.push_back(
            {event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, descriptor.idProduct,
             libusb_get_bus_number(device), libusb_get_device_address(device), portsOf(device)});
        return 0;
    }
};

// Handles libusb's events until done() holds; false if it never does.
template <typename Done> bool handleEventsUntil(libusb_context *context, Done done) {
    for (int i = 0; i < 100 && !done(); ++i) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(context, &tv, nullptr);
    }
    return done();
}

TEST_F(UsbfsBusTest, FirmwareDownloadReenumeratesOnTheSamePort) {
    ASSERT_TRUE(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG));
    sim::CameraOptions options;
    options.reenumerationDelay = 20ms;
    auto camera = bus_->attach(options);
    ASSERT_TRUE(camera);
    const uint16_t vendor = camera->model().vendorID, product = camera->model().productID;
    HotplugLog hotplug;
    libusb_hotplug_callback_handle callback;
    ASSERT_EQ(libusb_hotplug_register_callback(
                  context_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                  LIBUSB_HOTPLUG_NO_FLAGS, vendor, LIBUSB_HOTPLUG_MATCH_ANY,
                  LIBUSB_HOTPLUG_MATCH_ANY, &HotplugLog::record, &hotplug, &callback),
              0);

    libusb_device *unprogrammed = deviceOf(*camera);
    ASSERT_NE(unprogrammed, nullptr);
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(unprogrammed, &descriptor);
    EXPECT_EQ(descriptor.idProduct, product | 0x8000);
    const uint8_t firstAddress = libusb_get_device_address(unprogrammed);
    const std::vector<uint8_t> ports = portsOf(unprogrammed);
    libusb_device_handle *handle = nullptr;
    ASSERT_EQ(libusb_open(unprogrammed, &handle), 0);
    libusb_unref_device(unprogrammed);

    // The FX2 loader: hold the CPU, write the image into its RAM, release the CPU.
    const std::vector<uint8_t> image = sim::buildFirmwareImage(product, sim::kAnyRelease);
    uint8_t cpucs = 1;
    ASSERT_EQ(libusb_control_transfer(handle, 0x40, 0xA0, 0xE600, 0, &cpucs, 1, kTimeoutMs), 1);
    for (size_t at = 0; at < image.size(); at += 4096) {
        const uint16_t n = uint16_t(std::min<size_t>(4096, image.size() - at));
        ASSERT_EQ(libusb_control_transfer(handle, 0x40, 0xA0, uint16_t(at), 0,
                                          const_cast<uint8_t *>(image.data() + at), n, kTimeoutMs),
                  n);
    }
    const std::vector<uint8_t> ram = camera->fx2Ram();
    ASSERT_GE(ram.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), ram.begin()));
    cpucs = 0;
    ASSERT_EQ(libusb_control_transfer(handle, 0x40, 0xA0, 0xE600, 0, &cpucs, 1, kTimeoutMs), 1);

    // The unprogrammed device leaves, the programmed one arrives on the same port. (Its first
    // arrival may be reported too: the context existed before the camera was attached.)
    auto find = [&](bool arrived, uint16_t productID) {
        for (size_t i = 0; i < hotplug.events.size(); ++i)
            if (hotplug.events[i].arrived == arrived && hotplug.events[i].productID == productID)
                return int(i);
        return -1;
    };
    ASSERT_TRUE(handleEventsUntil(context_, [&] { return find(true, product) >= 0; }));
    const int left = find(false, product | 0x8000), arrived = find(true, product);
    ASSERT_GE(left, 0);
    EXPECT_LT(left, arrived);
    EXPECT_EQ(hotplug.events[size_t(left)].address, firstAddress);
    EXPECT_EQ(hotplug.events[size_t(left)].ports, ports);
    const HotplugLog::Event &programmed = hotplug.events[size_t(arrived)];
    EXPECT_NE(programmed.address, firstAddress);
    EXPECT_EQ(programmed.bus, UsbfsBus::busNumber(camera->locationID()));
    EXPECT_EQ(programmed.ports, ports);
    EXPECT_EQ(bus_->deviceAddress(*camera), programmed.address);

    // The old node is gone for good; the new one answers as the running firmware.
    uint32_t value;
    EXPECT_EQ(readRegister(handle, sim::kRegVersion, value), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(handle);
    handle = open(*camera);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(readRegister(handle, sim::kRegVersion, value), 4);
    libusb_close(handle);
    libusb_hotplug_deregister_callback(context_, callback);
}

// Streams one frame into a transfer of `length` bytes; its status and what it received.
struct FrameRead {
    libusb_transfer_status status;
    std::vector<uint8_t> bytes;
};

FrameRead readFrame(libusb_context *context, libusb_device_handle *handle, size_t length) {
    FrameRead result{LIBUSB_TRANSFER_ERROR, std::vector<uint8_t>(length)};
    libusb_transfer *transfer = libusb_alloc_transfer(0);
    bool done = false;
    libusb_fill_bulk_transfer(
        transfer, handle, kBulkIn, result.bytes.data(), int(length),
        [](libusb_transfer *t) { *static_cast<bool *>(t->user_data) = true; }, &done, 0);
    EXPECT_EQ(libusb_submit_transfer(transfer), 0);
    EXPECT_TRUE(handleEventsUntil(context, [&] { return done; }));
    result.status = transfer->status;
    result.bytes.resize(size_t(transfer->actual_length));
    libusb_free_transfer(transfer);
    return result;
}

TEST_F(UsbfsBusTest, BulkReadsDeliverTheFramesTheModelSent) {
    for (const uint32_t capabilities : {kUsbfsCapsCurrentKernel, kUsbfsCapsWithoutContinuation}) {
        SCOPED_TRACE(capabilities);
        auto camera = bus_->attach(running(), {capabilities, false});
        libusb_device_handle *handle = openStreaming(*camera);
        ASSERT_NE(handle, nullptr);
        const size_t frameBytes = camera->renderFrame().size();
        camera->clearTransferLog();
        ASSERT_EQ(writeRegister(handle, sim::kRegStreaming, sim::kStreamingOn), 4);

        // A transfer as long as a frame, then one longer that the frame's end finishes short
        // (split into URBs, a longer transfer would take the next frame's start in its last
        // URBs, as on such a host controller: there the second is a frame long too).
        const size_t second =
            capabilities == kUsbfsCapsCurrentKernel ? frameBytes + 100000 : frameBytes;
        for (const size_t length : {frameBytes, second}) {
            const size_t logged = bulkInPayloads(*camera).size();
            const FrameRead frame = readFrame(context_, handle, length);
            EXPECT_EQ(frame.status, LIBUSB_TRANSFER_COMPLETED);
            ASSERT_EQ(frame.bytes.size(), frameBytes);
            const auto payloads = bulkInPayloads(*camera);
            std::vector<uint8_t> sent;
            for (size_t i = logged; i < payloads.size(); ++i)
                sent.insert(sent.end(), payloads[i].begin(), payloads[i].end());
            EXPECT_TRUE(sent == frame.bytes) << "the frame arrives whole and unaltered";
            const size_t urbs = payloads.size() - logged;
            if (capabilities == kUsbfsCapsCurrentKernel)
                EXPECT_EQ(urbs, 1u);
            else
                EXPECT_EQ(urbs, (frameBytes + 16383) / 16384) << "one read per 16 KB URB";
        }
        libusb_close(handle);
        bus_->detachAll();
    }
}

TEST_F(UsbfsBusTest, FaultsAnswerAsLibusbReportsThemAndTheCameraRecovers) {
    auto camera = bus_->attach(running());
    libusb_device_handle *handle = openStreaming(*camera);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(writeRegister(handle, sim::kRegStreaming, sim::kStreamingOn), 4);
    const size_t frameBytes = camera->renderFrame().size();

    camera->failBulk(kBulkIn, kIOUSBPipeStalled);
    EXPECT_EQ(readFrame(context_, handle, frameBytes).status, LIBUSB_TRANSFER_STALL);
    std::vector<uint8_t> buffer(frameBytes);
    int moved = -1;
    EXPECT_EQ(
        libusb_bulk_transfer(handle, kBulkIn, buffer.data(), int(frameBytes), &moved, kTimeoutMs),
        LIBUSB_ERROR_PIPE)
        << "the endpoint stays halted";
    ASSERT_EQ(libusb_clear_halt(handle, kBulkIn), 0);
    EXPECT_EQ(readFrame(context_, handle, frameBytes).bytes.size(), frameBytes);

    // A short packet ends a read early with what arrived; an overrun reports the overflow.
    camera->shortBulk(kBulkIn, 1000);
    const FrameRead cut = readFrame(context_, handle, frameBytes);
    EXPECT_EQ(cut.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(cut.bytes.size(), 1000u);
    camera->failBulk(kBulkIn, kIOReturnOverrun);
    EXPECT_EQ(readFrame(context_, handle, frameBytes).status, LIBUSB_TRANSFER_OVERFLOW);
    EXPECT_EQ(readFrame(context_, handle, frameBytes).bytes.size(), frameBytes);

    // A request the device leaves unanswered ends at libusb's time-out; the next one answers.
    camera->failRequest(0x12, kIOUSBTransactionTimeout);
    uint32_t value;
    EXPECT_EQ(readRegister(handle, sim::kRegVersion, value, 20), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(readRegister(handle, sim::kRegVersion, value), 4);
    libusb_close(handle);
}

TEST_F(UsbfsBusTest, BitstreamWrittenInBulkConfiguresTheFpga) {
    for (const uint32_t capabilities : {kUsbfsCapsCurrentKernel, kUsbfsCapsWithoutContinuation}) {
        SCOPED_TRACE(capabilities);
        sim::CameraOptions options = running();
        options.fpgaConfigured = false;
        auto camera = bus_->attach(options, {capabilities, false});
        libusb_device_handle *handle = open(*camera);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(libusb_set_configuration(handle, 1), 0);
        ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
        ASSERT_EQ(libusb_set_interface_alt_setting(handle, 0, 1), 0);
        std::vector<uint8_t> bits =
            sim::buildBitstream(camera->model().productID, sim::kAnyRelease);
        ASSERT_EQ(writeRegister(handle, sim::kRegFpga, 0xFFFFFFFF), 4);
        int moved = 0;
        ASSERT_EQ(libusb_bulk_transfer(handle, kBulkOut, bits.data(), int(bits.size()), &moved,
                                       kTimeoutMs),
                  0);
        EXPECT_EQ(moved, int(bits.size()));
        ASSERT_EQ(writeRegister(handle, sim::kRegFpga, 0), 4);
        EXPECT_EQ(camera->lastBitstream(), bits);
        EXPECT_TRUE(camera->fpgaConfigured());
        libusb_close(handle);
        bus_->detachAll();
    }
}

TEST_F(UsbfsBusTest, UnplugEndsOutstandingReadsAndEveryLaterCallAnswersNoDevice) {
    auto camera = bus_->attach(running());
    libusb_device_handle *handle = openStreaming(*camera);
    ASSERT_NE(handle, nullptr);
    // Not streaming: the read waits for data that never comes.
    std::vector<uint8_t> buffer(65536);
    libusb_transfer *transfer = libusb_alloc_transfer(0);
    bool done = false;
    libusb_fill_bulk_transfer(
        transfer, handle, kBulkIn, buffer.data(), int(buffer.size()),
        [](libusb_transfer *t) { *static_cast<bool *>(t->user_data) = true; }, &done, 0);
    ASSERT_EQ(libusb_submit_transfer(transfer), 0);
    timeval tv{0, 1000};
    libusb_handle_events_timeout_completed(context_, &tv, nullptr);
    EXPECT_FALSE(done);

    camera->unplug();
    ASSERT_TRUE(handleEventsUntil(context_, [&] { return done; }));
    EXPECT_EQ(transfer->status, LIBUSB_TRANSFER_NO_DEVICE);
    libusb_free_transfer(transfer);

    uint32_t value;
    EXPECT_EQ(readRegister(handle, sim::kRegVersion, value), LIBUSB_ERROR_NO_DEVICE);
    int moved = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle, kBulkIn, buffer.data(), 512, &moved, kTimeoutMs),
              LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(handle, kBulkIn), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(handle, 0), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(handle);
    EXPECT_TRUE(handleEventsUntil(context_, [&] { return bus_->deviceAddress(*camera) == 0; }))
        << "the node is removed";
}

TEST_F(UsbfsBusTest, DeniedNodeRefusesToOpenAndHeldDeviceRefusesTheClaim) {
    UsbfsNodeOptions denied;
    denied.denyAccess = true;
    auto camera = bus_->attach(running(), denied);
    libusb_device *device = deviceOf(*camera);
    ASSERT_NE(device, nullptr);
    libusb_device_handle *handle = nullptr;
    EXPECT_EQ(libusb_open(device, &handle), LIBUSB_ERROR_ACCESS);

    bus_->setDenyAccess(*camera, false);
    ASSERT_EQ(libusb_open(device, &handle), 0);
    libusb_unref_device(device);
    ASSERT_EQ(libusb_set_configuration(handle, 1), 0);
    libusb_close(handle);

    // Another client holding the device: the claim is refused until it lets go.
    camera->holdExclusive(1);
    handle = open(*camera);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
    libusb_close(handle);
}

} // namespace
} // namespace qor::testing
