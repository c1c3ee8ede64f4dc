// Real cameras: the backend of platform/usb that reaches USB devices through libusb-1.0.
#pragma once

#include "platform/usb_backend.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qor::libusb {

// Starts a libusb context and its event thread, and lists the devices of the given vendors,
// following their arrivals and departures (hotplug, or a rescan about once a second where
// libusb has no hotplug support). Null, with the reason in error, when libusb cannot start.
// Release the backend on a thread other than the ones it reports on.
std::shared_ptr<usb::Backend> startBackend(std::vector<uint16_t> vendorIDs, std::string *error);

} // namespace qor::libusb
