// Location ids packed as the simulated cameras' are, so that one camera reads the same through
// either backend.
#include "libusb/location.h"

namespace qor::libusb {

uint32_t locationID(uint8_t bus, std::span<const uint8_t> ports) {
    uint32_t id = uint32_t(bus) << 24;
    int shift = 16;
    for (uint8_t port : ports) {
        if (shift < 0) break;
        id |= uint32_t(port) << shift;
        shift -= 8;
    }
    return id;
}

std::string portPath(std::span<const uint8_t> ports) {
    std::string path;
    for (uint8_t port : ports) {
        if (!path.empty()) path += '.';
        path += std::to_string(port);
    }
    return path;
}

} // namespace qor::libusb
