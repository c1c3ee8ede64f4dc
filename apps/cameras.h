// Bringing the cameras up the way the platform does: registering the settings panel from the
// bundle's resource file runs the driver's loader, which programs every camera on the bus and
// registers a digitizer for each. When the bus has no camera at all, simulated cameras are
// attached first, unprogrammed, so that they come up the same way.
#pragma once

#include "usb/backend_choice.h"
#include "usb/bus_inventory.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qor::apps {

struct CameraEntry {
    std::string name; // the digitizer's name, which a capture chooses the camera by
    uint16_t productID = 0;
    bool simulated = false;
    uint32_t locationID = 0;
    // Read from the camera when it is listed.
    uint16_t width = 0, height = 0;
    bool colour = false;
    bool cooled = false;
    std::string sensor;
};

struct CameraSetup {
    std::vector<CameraEntry> cameras;
    std::string error; // why no camera came up, when none did
    usb::BackendSetup backends;
};

// Chooses the backends (attaching the simulated cameras the choice names when they are used)
// and registers the panel, which runs the loader.
CameraSetup setUpCameras(const usb::BackendChoice &choice);
// Opens each camera's digitizer briefly to read what `list` shows.
void describeCameras(CameraSetup &setup);
// Unregisters the components and detaches the simulated cameras.
void tearDownCameras();

} // namespace qor::apps
