// The capture session every front end shares (qorcap, and the INDI driver and GStreamer element
// to come): it brings the system up, lists and opens cameras, sets them up through their
// settings page, and runs captures through the sequence grabber, handing each frame over with
// its metadata. No front end talks to the sequence grabber, the panel's items or the camera
// record itself.
//
// Threads: a System and the Cameras it opened belong to the thread that made them; frames are
// handed to the handler on that thread, from inside poll().
#pragma once

#include "capture/frame.h"
#include "usb/backend_choice.h"
#include "usb/bus_inventory.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qor::capture {

// One setting as a person gives it: "gain" = "0.008". The names are the settings page's
// (settingsHelp() lists them).
struct Setting {
    std::string name;
    std::string value;
};
// "name=value"; false, with the reason, for anything else or an unknown name.
bool parseSetting(const std::string &text, Setting *setting, std::string *error);
// The names and values, for help texts.
const char *settingsHelp();

// A registered camera, ready to open.
struct CameraInfo {
    size_t index = 0;       // its place in the list, from 0: a camera can be chosen by it
    std::string name;       // the digitizer's name ("product-serial")
    std::string serial;     // the USB serial string
    uint16_t productID = 0; // the model
    std::string sensor;     // "monochrome", "RGGB", "GRBG", "GBRG" or "BGGR"
    MosaicPhase mosaic = MosaicPhase::None;
    uint32_t width = 0, height = 0; // the full sensor
    bool colour = false;
    bool cooled = false;
    bool simulated = false;
    uint32_t locationID = 0;
    std::string where; // "bus 20 port 1"
};

// The format of the frames a started capture delivers.
struct StreamFormat {
    FrameGeometry geometry;
    PixelLayout layout = PixelLayout::Grey;
    MosaicPhase mosaic = MosaicPhase::None;
    double framesPerSecond = 0; // what the camera sends at its data rate
    double bytesPerSecond = 0;
};

struct CaptureOptions {
    bool record = true;     // record mode (time stamps from the recording's start), else preview
    double rate = 0;        // hand out at most this many frames a second; 0: every frame
    bool rawMosaic = false; // the sensor's frames (after the flips) instead of decoded pixels
};

// Called with each frame, on the thread that calls poll().
using FrameHandler = std::function<void(FramePtr)>;

class Camera;

class System {
public:
    // Brings the system up: the backend choice, the panel's registration (which runs the
    // loader: firmware, FPGA, a digitizer per camera). One System at a time in a process. It
    // is returned even when no camera came up (error() then says why), so that a listing can
    // still show the cameras that did not; null only when the backends could not be set up.
    static std::unique_ptr<System> bringUp(const usb::BackendChoice &choice, std::string *error);
    ~System(); // unregisters the components and detaches the simulated cameras
    System(const System &) = delete;
    System &operator=(const System &) = delete;

    const std::vector<CameraInfo> &cameras() const;
    // Every camera on the bus, also those that did not come up, with their state.
    std::vector<usb::AttachedCamera> bus() const;
    // Why no camera came up; empty when one did.
    const std::string &error() const;
    const usb::BackendSetup &backends() const;

    // Opens a camera chosen by its exact name, its serial, or its index in cameras() (a
    // decimal number); an empty choice opens the first. Null with the reason (which names
    // the cameras there are) when none matches or it does not open.
    std::unique_ptr<Camera> open(const std::string &which, std::string *error);

private:
    System();
    struct State;
    std::unique_ptr<State> state_;
};

class Camera {
public:
    ~Camera(); // stops a running capture and closes the camera
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    const CameraInfo &info() const;

    // Settings through the camera's settings page, in the page's order. Empty, or what could
    // not be set. The colour balance needs frames: it runs a short preview.
    std::string apply(const std::vector<Setting> &settings);
    // The page's values as (name, value) pairs, each value shown with the precision its range
    // needs. Empty with *error set when the page does not open.
    std::vector<std::pair<std::string, std::string>> readSettings(std::string *error);
    // The panel's saved-settings block into a file, and back (refusing what is not a settings
    // file of this driver's version, naming settings the camera could not take). Empty, or
    // what went wrong.
    std::string saveSettings(const std::string &path);
    std::string loadSettings(const std::string &path);
    // The settings frames are stamped with, read now.
    FrameSettings currentSettings();

    // Starts capturing; 0 or the status code. The handler receives every frame poll() gets.
    int32_t start(const CaptureOptions &options, FrameHandler handler);
    // After start: the frames' format and the camera's rate.
    StreamFormat format() const;
    // Lets the grabber run for up to `seconds`, handing over each frame that arrives; returns
    // as soon as at least one frame was handed over, or the time is up. 0, or the status that
    // ended the capture (kIOReturnNoDevice: the camera was unplugged).
    int32_t poll(double seconds);
    // Stops the capture (the handler is not called again). Harmless when not capturing.
    void stop();
    bool capturing() const;
    // Since start: frames handed over, and what the driver lost.
    uint64_t delivered() const;
    DropCounts drops() const;

private:
    friend class System;
    Camera();
    struct State;
    std::unique_ptr<State> state_;
};

// "error -536870208 (0xE00002C0)" and, where one is known, its name.
std::string statusText(int32_t status);

// The library's version ("0.1.0").
const char *driverVersion();

} // namespace qor::capture
