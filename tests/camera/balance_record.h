// Test support for the colour balance: the record fields a camera's open fills for it, read
// from the simulated camera.
#pragma once

#include "support/sim_camera.h"

namespace qor::test {

inline void prepareBalanceRecord(OpenCamera &cam) {
    CameraRecord &r = cam.record();
    const auto &model = cam.sim().model();
    r.redGainMin = model.redGain.minimum;
    r.redGainMax = model.redGain.maximum;
    r.blueGainMin = model.blueGain.minimum;
    r.blueGainMax = model.blueGain.maximum;
    r.balanceTargetColor = {0x8000, 0x8000, 0x8000};
    uint32_t format = cam.sim().peekRegister(0x1010);
    r.bayerPattern = format == 0 ? 0 : format - 7;
    uint32_t size = cam.sim().peekRegister(0x100C);
    uint32_t sub = cam.sim().peekRegister(0x1018);
    r.rawWidth = (size & 0xFFFF) / (sub & 0xFFFF);
    r.rawHeight = (size >> 16) / (sub >> 16);
}

} // namespace qor::test
