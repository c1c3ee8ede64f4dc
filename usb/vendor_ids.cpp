#include "usb/vendor_ids.h"

#include <cstdlib>

namespace {

uint16_t vendorFromEnvironment(const char *name, uint16_t placeholder) {
    const char *text = std::getenv(name);
    if (!text || !*text) return placeholder;
    char *end = nullptr;
    unsigned long value = std::strtoul(text, &end, 16);
    return (*end == '\0' && value > 0 && value <= 0xFFFF) ? uint16_t(value) : placeholder;
}

} // namespace

const uint16_t kCameraVendorID = vendorFromEnvironment("QORVANTA_VENDOR_ID", 0xFFF0);
const uint16_t kCameraVendorID2 = vendorFromEnvironment("QORVANTA_VENDOR_ID2", 0xFFF1);
