// Digitizer registration: one video digitizer component per camera, named after the camera and
// carrying its identity, through which clients open the camera later.
#pragma once

#include "platform/usb.h"
#include "usb/camera_record.h"

#include <array>
#include <vector>

namespace qor::usb {

// The product ids of the camera models, in the order the driver looks for them.
extern const std::array<uint16_t, 28> kCameraProductIDs;

// The services of the attached USB devices with this vendor and product id, in bus order; the
// caller releases them.
std::vector<io_service_t> matchingServices(uint16_t vendorID, uint16_t productID);

// Registers the digitizer of a camera whose record holds its identity (vendor, product,
// location, name), unless a digitizer of that name is registered already. 0, memFullErr when
// the component could not be registered, or the error of reading a registered name.
OSErr registerCameraDigitizer(const CameraRecord &record);

// Unregisters every camera digitizer that has no open instance, with its identity; returns how
// many went.
int unregisterCameraDigitizers();

} // namespace qor::usb
