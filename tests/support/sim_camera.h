// Test support: simulated cameras opened into camera records the way the driver opens them,
// and helpers to read the transfer log.
#pragma once

#include "sim/sim.h"
#include "usb/camera_record.h"

#include <qorvanta/status.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace qor::test {

// The services of attached USB devices with this vendor and product id, in bus order.
std::vector<io_service_t> matchingServices(uint16_t vendorID, uint16_t productID);

// A camera record opened on a simulated camera (device and interface open, alternate setting
// chosen); closed and disposed on destruction.
class OpenCamera {
public:
    explicit OpenCamera(sim::CameraOptions options, uint8_t alternateSetting = 2);
    ~OpenCamera();
    OpenCamera(const OpenCamera &) = delete;
    OpenCamera &operator=(const OpenCamera &) = delete;

    CameraHandle handle() const { return camera_; }
    CameraRecord &record() const { return *cameraRecord(camera_); }
    sim::SimCamera &sim() const { return *sim_; }

private:
    void open(const sim::CameraOptions &options, uint8_t alternateSetting);
    std::shared_ptr<sim::SimCamera> sim_;
    CameraHandle camera_ = nullptr;
};

// A running camera of a model, firmware loaded and FPGA configured.
sim::CameraOptions runningCamera(uint16_t productID, std::string serial = {});

// The control transfers of a log (standard and vendor), in order.
std::vector<sim::Transfer> controlTransfers(const std::vector<sim::Transfer> &log);
// Register writes (request 0x12 out) of a log: register and data stage.
struct RegisterWrite {
    uint16_t reg;
    std::vector<uint8_t> data;
    uint32_t value() const;
};
std::vector<RegisterWrite> registerWrites(const std::vector<sim::Transfer> &log);
std::vector<uint16_t> registerReads(const std::vector<sim::Transfer> &log);
// CLEAR_FEATURE(ENDPOINT_HALT) requests: the endpoints whose stall was cleared.
std::vector<uint8_t> clearedEndpoints(const std::vector<sim::Transfer> &log);
std::vector<uint8_t> abortedEndpoints(const std::vector<sim::Transfer> &log);

// Detaches every simulated camera before and after each test.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace qor::test
