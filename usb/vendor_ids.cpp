#include "usb/vendor_ids.h"

#include <cstdlib>

namespace {

// The configured id (QORVANTA_VENDOR_ID and QORVANTA_VENDOR_ID2 of the build, the same values
// the udev rule is made from), unless the environment variable of that name gives another.
uint16_t vendorFromEnvironment(const char *name, uint16_t configured) {
    const char *text = std::getenv(name);
    if (!text || !*text) return configured;
    char *end = nullptr;
    unsigned long value = std::strtoul(text, &end, 16);
    return (*end == '\0' && value > 0 && value <= 0xFFFF) ? uint16_t(value) : configured;
}

} // namespace

const uint16_t kCameraVendorID = vendorFromEnvironment("QORVANTA_VENDOR_ID", QORVANTA_VENDOR_ID);
const uint16_t kCameraVendorID2 = vendorFromEnvironment("QORVANTA_VENDOR_ID2", QORVANTA_VENDOR_ID2);
