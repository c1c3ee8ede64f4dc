// What a System and the Cameras it opened keep: the state behind the session's classes, shared
// by the files that implement them.
#pragma once

#include "capture/session.h"
#include "platform/seqgrab.h"
#include "usb/camera_record.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qor::capture {

struct System::State {
    usb::BackendSetup backends;
    std::vector<CameraInfo> cameras;
    std::string error;
    int16_t panelResources = 0;
};

// Everything a Camera keeps; the data procedure reaches it through its reference constant.
struct CameraState {
    CameraInfo info;
    SeqGrabComponent grabber = nullptr;
    SGChannel channel = nullptr;

    // The running capture; all of it on the thread that owns the camera.
    bool capturing = false;
    CaptureOptions options;
    FrameHandler handler;
    StreamFormat format;
    int32_t timeScale = 600;
    uint64_t delivered = 0;
    int32_t ended = 0; // the status that ended the capture
    // The driver's loss counters when the capture started.
    uint32_t overwrittenAtStart = 0, lostAtStart = 0, unrequestedAtStart = 0;
    // The settings frames are stamped with.
    FrameSettings settings;

    // The digitizer's camera record; null when the channel has no digitizer.
    CameraRecord *record() const;
    CameraHandle cameraHandle() const;
};

struct Camera::State : CameraState {};

// The camera's settings read from its record now.
FrameSettings readFrameSettings(CameraHandle camera);

} // namespace qor::capture
