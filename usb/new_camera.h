// New-camera registration: the loader's matching handler for cameras running their firmware.
// It configures each camera's FPGA when needed, initialises the sensor and registers the
// camera's digitizer.
#pragma once

#include "platform/usb.h"

#include <optional>
#include <string>

// For each device of the iterator: opens it with a temporary record, loads the FPGA bitstream
// when the FPGA reports itself unconfigured, runs the sensor initialisation and registers the
// digitizer. A device that fails ends the walk: the rest of the iterator is read out unused.
void myNewCameraAdded(void *refCon, io_iterator_t iterator);

namespace qor::usb {

// The FPGA file (relative to FPGA/) for a model product id and release number.
std::optional<std::string> fpgaFileFor(uint16_t productID, uint16_t releaseNumber);

} // namespace qor::usb
