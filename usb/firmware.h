// FX2 firmware download: the loader's matching handler for cameras whose USB controller has no
// firmware yet.
#pragma once

#include "platform/usb.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

// Set to 1 for every device whose download reached the CPU release; the loader clears it.
extern uint8_t gWasCameraFirmwareLoaded;

// For each device of the iterator: picks its firmware file, holds the FX2's CPU, writes the
// Intel HEX records into its RAM and releases the CPU. Consumes the whole iterator.
void myAnchorFX2UnenumeratedAdded(void *refCon, io_iterator_t iterator);

namespace qor::usb {

// The firmware file (relative to Firmware/) for an unprogrammed product id and release number.
std::optional<std::string> firmwareFileFor(uint16_t productID, uint16_t releaseNumber);

// Writes the Intel HEX records of `file` into the FX2's RAM. 0 on success, -1 for a malformed
// record, the request's error, or the end-of-file indication when the end record is missing.
int32_t downloadIntelHex(IOUSBDeviceInterface187 **device, std::FILE *file);

} // namespace qor::usb
