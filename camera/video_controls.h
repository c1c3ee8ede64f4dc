// Video controls and the automatic colour balance that searches the red and blue gains.
#pragma once

#include "usb/camera_record.h"

#include <chrono>
#include <cstdint>

namespace qor::camera {

enum VideoControl : uint16_t {
    kControl0400 = 0x0400,
    kControlExposure = 0x04A0,
    kControlGain = 0x04F0,
    kControlRedGain = 0x0500,
    kControlGreen1Gain = 0x0510,
    kControlGreen2Gain = 0x0520,
    kControlBlueGain = 0x0530,
};

// One step of a running colour balance, on a raw frame of rawWidth x rawHeight samples before
// any flip or decoding. The frame path calls it for every frame while colorBalanceActive is 1.
void colorBalanceStep(CameraHandle camera, const uint8_t *rawFrame);

// How long a colour balance may go without a frame before whoever waits for it gives up: three
// frame periods of the camera as it is set now, and never less than two seconds.
std::chrono::milliseconds colorBalanceFrameWait(CameraRecord &record);

} // namespace qor::camera
