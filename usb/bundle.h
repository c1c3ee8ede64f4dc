// Where a camera's Firmware/ and FPGA/ files are, and how the simulator's images are told from
// a camera maker's files.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qor::usb {

// The directory holding Firmware/ and FPGA/ for a camera, ending in '/': the directory
// QORVANTA_BUNDLE names when set; else, for a real camera, the installed driver's data directory
// (where the user puts the camera maker's files), and for a simulated one the simulator's images
// (installed under simulator/ there, or the source tree's resources/ when not installed).
std::string firmwareDirectory(bool simulated);

// Whether FX2 RAM contents (from address 0) are the simulator's firmware: its identity block
// starts "QVFW" at 0x3F00.
bool isSimulatorFirmware(std::span<const uint8_t> ram);
// Whether a bitstream is the simulator's: it starts with the "QVBS" header.
bool isSimulatorBitstream(std::span<const uint8_t> bits);

} // namespace qor::usb
