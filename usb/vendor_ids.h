// The two USB vendor ids of the cameras, as the build configured them (the CMake variables
// QORVANTA_VENDOR_ID and QORVANTA_VENDOR_ID2); the environment variables of the same names
// (hexadecimal) override them at start-up.
#pragma once

#include <cstdint>

extern const uint16_t kCameraVendorID;
extern const uint16_t kCameraVendorID2;

// The vendor id of a camera model: the second id when (product id AND 0x0F00) is non-zero.
inline uint16_t cameraVendorFor(uint16_t productID) {
    return (productID & 0x0F00) == 0 ? kCameraVendorID : kCameraVendorID2;
}
