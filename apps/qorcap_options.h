// qorcap's command line: the commands, the options each takes, and the exit codes the program
// ends with. Parsing is CLI11's; this file only says what there is and checks the values.
#pragma once

#include "capture/recorder.h"
#include "capture/session.h"
#include "usb/backend_choice.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qor::apps {

// What the program's exit status means (also in the README and in --help).
enum ExitCode {
    kOk = 0,
    kUsage = 1,         // bad arguments or settings
    kNoCamera = 2,      // no such camera, or none came up
    kCaptureFailed = 3, // the capture could not start, or the camera stopped sending
    kCameraLost = 4,    // the camera was unplugged (the frames so far are kept)
    kWriteFailed = 5,   // the files could not be written (the frames so far are kept)
    // Stopped by SIGINT or SIGTERM: 128 + the signal's number (130, 143), after a clean stop.
    kSignalBase = 128,
};

enum class Command { Capture, List, Show };

struct Options {
    Command command = Command::Capture;
    // Which camera, and which cameras the process reaches.
    std::string camera; // name, serial or index; empty: the first
    usb::BackendKind backend = usb::BackendKind::Automatic;
    std::vector<uint16_t> simModels;
    bool listSimModels = false; // --sim-model without a model
    // Settings through the page.
    std::vector<capture::Setting> settings;
    std::string loadFrom, saveTo;
    // The capture.
    uint64_t frames = 10;
    double seconds = 0; // above 0: capture for this long instead of a count
    bool record = true;
    double rate = 0;
    bool mosaic = false;
    bool writeFiles = true;
    capture::RecorderOptions recorder;
    // Output.
    bool quiet = false;
    bool json = false;
    int verbosity = 0; // -v: the driver's information lines, -vv: its debug lines
};

// Parses the command line into `options`. Returns the exit code when the program should end
// at once (help or version shown: kOk; a mistake, reported on standard error: kUsage), else
// nothing.
std::optional<int> parseCommandLine(int argc, char **argv, Options &options);

} // namespace qor::apps
