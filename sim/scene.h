// The synthetic scene in front of a simulated sensor, and the readout that turns it into a raw
// frame the way the FPGA delivers it.
#pragma once

#include "sim/registers.h"

#include <cstdint>
#include <vector>

namespace qor::sim {

// One raw frame for these settings: rawWidth() x rawHeight() bytes, rows top first, in the
// sensor's mosaic phase (or grey when the readout bins). Deterministic per frame number: a
// mostly neutral grey scene under a slightly warm light with a colour chart, a grey ramp, a
// detail that moves from frame to frame and a little noise.
std::vector<uint8_t> renderScene(const SensorSettings &settings, uint64_t frameNumber);

} // namespace qor::sim
