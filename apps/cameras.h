// Finding the cameras a capture can use: every ready camera on the bus gets its digitizer
// registered; when there is none, simulated cameras are attached first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor::apps {

struct CameraEntry {
    std::string name; // the digitizer's name, which a capture chooses the camera by
    uint16_t productID;
    bool simulated;
};

struct CameraSetup {
    std::vector<CameraEntry> cameras;
    int unprogrammed = 0; // cameras on the bus still waiting for their firmware
};

// Registers the digitizers of the cameras on the bus. When none is ready, or `simulate` is
// set, simulated cameras of `simModels` are attached and registered instead.
CameraSetup setUpCameras(const std::vector<uint16_t> &simModels, bool simulate);
// Unregisters the digitizers and detaches the simulated cameras.
void tearDownCameras();

} // namespace qor::apps
