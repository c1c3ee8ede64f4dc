// A device's place on the buses: the IOKit-style location id and the port path users read.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qor::libusb {

// The bus number in the top byte, then the port path from the root hub, one byte per port,
// first port highest (bus 3, ports 1.4 -> 0x03010400), as the simulated cameras' ids are
// packed. It depends on nothing but the port, so a device that re-enumerates on the same port
// keeps it. Only three levels fit: ports behind a fourth hub level are left out.
uint32_t locationID(uint8_t bus, std::span<const uint8_t> ports);

// The port path as the kernel writes it ("1.4").
std::string portPath(std::span<const uint8_t> ports);

} // namespace qor::libusb
