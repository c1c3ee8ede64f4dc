// The libusb backend's view of the bus: which devices it lists and what it reads from them
// without opening, the exclusive open, and a camera that leaves.
#include "usbfs/backend_support.h"

#include "platform/usb.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace qor::testing {
namespace {

class CountingListener : public usb::BusListener {
public:
    void deviceArrived(const std::shared_ptr<usb::Device> &) override { ++arrived; }
    void deviceLeft(const std::shared_ptr<usb::Device> &device) override {
        std::lock_guard lock(mutex);
        left.push_back(device);
    }
    std::atomic<int> arrived{0};
    std::mutex mutex;
    std::vector<std::shared_ptr<usb::Device>> left;
};

using BackendDevices = BackendTest;

TEST_F(BackendDevices, ListsEachCameraAsTheModelDescribesItAtItsLocation) {
    // Both vendor ids; one camera still unprogrammed.
    auto mono = bus_->attach(runningCamera(0x00A1));
    auto colour = bus_->attach(runningCamera(0x04A2));
    sim::CameraOptions bare;
    bare.productID = 0x01A8;
    auto unprogrammed = bus_->attach(bare);
    ASSERT_TRUE(mono && colour && unprogrammed);
    std::vector<std::shared_ptr<usb::Device>> simulated;
    for (auto &device : sim::simulatedBus()->devices()) simulated.push_back(device);
    ASSERT_EQ(simulated.size(), 3u);

    for (const auto &model : simulated) {
        SCOPED_TRACE(model->deviceDescriptor().idProduct);
        std::shared_ptr<usb::Device> device;
        ASSERT_TRUE(eventually([&] {
            for (auto &listed : backend_->devices())
                if (listed->locationID() == model->locationID()) device = listed;
            return device != nullptr;
        }));
        const usb::DeviceDescriptor want = model->deviceDescriptor(),
                                    got = device->deviceDescriptor();
        EXPECT_EQ(std::memcmp(&want, &got, sizeof want), 0);
        const usb::ConfigDescriptor wantConfig = model->configDescriptor(0),
                                    gotConfig = device->configDescriptor(0);
        EXPECT_EQ(gotConfig.bConfigurationValue, wantConfig.bConfigurationValue);
        ASSERT_EQ(gotConfig.interfaces.size(), wantConfig.interfaces.size());
        for (size_t i = 0; i < wantConfig.interfaces.size(); ++i) {
            EXPECT_EQ(gotConfig.interfaces[i].bAlternateSetting,
                      wantConfig.interfaces[i].bAlternateSetting);
            ASSERT_EQ(gotConfig.interfaces[i].endpoints.size(),
                      wantConfig.interfaces[i].endpoints.size());
            for (size_t e = 0; e < wantConfig.interfaces[i].endpoints.size(); ++e)
                EXPECT_EQ(gotConfig.interfaces[i].endpoints[e].bEndpointAddress,
                          wantConfig.interfaces[i].endpoints[e].bEndpointAddress);
        }
        EXPECT_TRUE(device->attached());
        EXPECT_TRUE(device->simulated()) << "every node of a testbed is the simulator's";
    }
    EXPECT_EQ(backend_->devices().size(), 3u);
}

TEST_F(BackendDevices, OpenIsExclusiveWithinTheProcess) {
    auto camera = bus_->attach(runningCamera(0x00A1));
    auto device = deviceOf(*camera);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->open(), kIOReturnSuccess);
    EXPECT_EQ(device->open(), kIOReturnExclusiveAccess);
    EXPECT_EQ(device->setConfiguration(1), kIOReturnSuccess);
    EXPECT_EQ(device->claimInterface(0), kIOReturnSuccess);
    device->close();
    EXPECT_EQ(device->claimInterface(0), kIOReturnNotOpen);
    ASSERT_EQ(device->open(), kIOReturnSuccess);
    device->close();
}

TEST_F(BackendDevices, ACameraThatLeavesIsReportedOnceAndAnswersNoDeviceAfter) {
    CountingListener listener;
    backend_->setListener(&listener);
    auto camera = bus_->attach(runningCamera(0x00A1));
    auto device = deviceOf(*camera);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->open(), kIOReturnSuccess);
    ASSERT_EQ(device->setConfiguration(1), kIOReturnSuccess);
    ASSERT_EQ(device->claimInterface(0), kIOReturnSuccess);

    camera->unplug();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(listener.mutex);
        return !listener.left.empty();
    }));
    {
        std::lock_guard lock(listener.mutex);
        ASSERT_EQ(listener.left.size(), 1u);
        EXPECT_EQ(listener.left.front(), device);
    }
    EXPECT_FALSE(device->attached());
    EXPECT_TRUE(backend_->devices().empty());
    uint8_t data[4];
    uint32_t moved = 0;
    EXPECT_EQ(device->controlTransfer({0xC0, 0x12, 0, 0, 4}, data, {1000, 0}, moved),
              kIOReturnNoDevice);
    EXPECT_EQ(device->setAlternateSetting(0, 2), kIOReturnNoDevice);
    EXPECT_EQ(device->bulkTransfer(0x86, data, 4, {1000, 0}, moved), kIOReturnNoDevice);
    EXPECT_EQ(device->submitBulkRead(0x86, data, 4, [](IOReturn, uint32_t) {}), kIOReturnNoDevice);
    EXPECT_EQ(device->abortEndpoint(0x86), kIOReturnNoDevice);
    EXPECT_EQ(device->endpointStatus(0x86), kIOReturnNoDevice);
    EXPECT_EQ(device->open(), kIOReturnNoDevice);
    device->close();
    EXPECT_EQ(device->open(), kIOReturnNoDevice);
    backend_->setListener(nullptr);
}

} // namespace
} // namespace qor::testing
