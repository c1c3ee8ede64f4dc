// Test support for the loader and new-camera registration: the bundle pointed at a directory,
// the camera digitizers that are registered, and the transfers that configure an FPGA.
#pragma once

#include "platform/components.h"
#include "platform/memory.h"
#include "platform/videodigitizer.h"
#include "support/bundle_override.h"
#include "support/sim_camera.h"
#include "usb/registration.h"
#include "vdig/vdig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace qor::test {

inline std::vector<uint8_t> fileBytes(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

// The registered camera digitizers by name, with the identity each carries.
inline std::map<std::string, CameraComponentInfo> registeredDigitizers() {
    std::map<std::string, CameraComponentInfo> found;
    ComponentDescription looking{videoDigitizerComponentType, kQorvantaVdigSubType,
                                 kQorvantaManufacturer, 0, 0};
    Handle name = NewHandle(0);
    for (Component c = FindNextComponent(nullptr, &looking); c;
         c = FindNextComponent(c, &looking)) {
        EXPECT_EQ(GetComponentInfo(c, nullptr, name, nullptr, nullptr), noErr);
        std::string text(*name + 1, size_t(uint8_t((*name)[0])));
        auto *info = reinterpret_cast<CameraComponentInfo *>(GetComponentRefcon(c));
        EXPECT_NE(info, nullptr) << text;
        EXPECT_EQ(found.count(text), 0u) << text << " registered twice";
        if (info) found[text] = *info;
    }
    DisposeHandle(name);
    return found;
}

inline long countCameraDigitizers() {
    ComponentDescription looking{videoDigitizerComponentType, kQorvantaVdigSubType,
                                 kQorvantaManufacturer, 0, 0};
    return CountComponents(&looking);
}

// The name the driver gives a simulated camera: product string, hyphen, serial.
inline std::string cameraName(const sim::SimCamera &cam) {
    return std::string(cam.model().productName) + "-" + cam.serial();
}

// The FPGA control register's value in each write of a log.
inline std::vector<uint32_t> fpgaControlWrites(const std::vector<sim::Transfer> &log) {
    std::vector<uint32_t> values;
    for (const RegisterWrite &w : registerWrites(log))
        if (w.reg == 0x0008) values.push_back(w.value());
    return values;
}

inline size_t fpgaStatusReads(const std::vector<sim::Transfer> &log) {
    size_t reads = 0;
    for (uint16_t reg : registerReads(log)) reads += reg == 0x0008;
    return reads;
}

// Everything sent on bulk-out endpoints, in order.
inline std::vector<uint8_t> bulkOutBytes(const std::vector<sim::Transfer> &log) {
    std::vector<uint8_t> bytes;
    for (const sim::Transfer &t : log)
        if (t.kind == sim::Transfer::Kind::BulkOut)
            bytes.insert(bytes.end(), t.data.begin(), t.data.end());
    return bytes;
}

// Sensor-initialisation requests (0x13) of a log.
inline std::vector<sim::Transfer> sensorRequests(const std::vector<sim::Transfer> &log) {
    std::vector<sim::Transfer> out;
    for (const sim::Transfer &t : controlTransfers(log))
        if (t.bmRequestType == 0x40 && t.bRequest == 0x13) out.push_back(t);
    return out;
}

// The alternate settings chosen (SET_INTERFACE), in order.
inline std::vector<uint16_t> alternateSettings(const std::vector<sim::Transfer> &log) {
    std::vector<uint16_t> out;
    for (const sim::Transfer &t : controlTransfers(log))
        if (t.bmRequestType == 0x01 && t.bRequest == 11) out.push_back(t.wValue);
    return out;
}

// Simulated cameras on a clean bus, the bundle at the repository's resources, and no camera
// digitizer registered before or after.
class LoaderTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        usb::unregisterCameraDigitizers();
    }
    void TearDown() override {
        usb::unregisterCameraDigitizers();
        SimTest::TearDown();
    }
    BundleOverride bundle_{repositoryResources()};
};

} // namespace qor::test
