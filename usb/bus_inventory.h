// What is on the bus, camera by camera, however far each came up: for listings that must also
// show the cameras the loader could not bring up (no firmware file, an FPGA that did not
// configure) and say where each one is plugged in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor::usb {

enum class BringUpState {
    Unprogrammed,    // the FX2 waits for its firmware
    RunningFirmware, // the firmware runs; the FPGA is not configured
    FpgaConfigured,  // ready, but no digitizer is registered for it
    Registered,      // a digitizer is registered: capture programs can open it
};

struct AttachedCamera {
    uint16_t vendorID = 0;
    uint16_t productID = 0; // the model's, without the unprogrammed bit
    uint32_t locationID = 0;
    bool simulated = false;
    BringUpState state = BringUpState::Unprogrammed;
    std::string name; // the registered digitizer's name; empty before registration
};

// Every camera on the bus list, in bus order. A programmed camera without a digitizer is opened
// briefly to read whether its FPGA is configured; one that cannot be opened counts as running
// its firmware.
std::vector<AttachedCamera> attachedCameras();

// "unprogrammed", "running firmware", "FPGA configured", "registered".
const char *bringUpStateName(BringUpState state);

// "bus 3 port 1.4", from a location id: the bus number in the top byte, then one byte per port
// of the path, outermost first, up to the first zero.
std::string busAndPort(uint32_t locationID);

} // namespace qor::usb
