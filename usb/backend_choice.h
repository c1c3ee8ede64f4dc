// Which USB backends a process reaches its cameras through: real cameras through libusb, the
// simulated ones, or both. Every program that uses the library follows the same rules, so that
// QORVANTA_BACKEND and QORVANTA_SIM_MODELS mean the same thing to all of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::usb {

enum class BackendKind {
    Automatic, // real cameras when libusb finds any, else the simulated ones
    Usb,       // real cameras only
    Simulated, // simulated cameras only
};

// "usb", "sim" or "auto" (as QORVANTA_BACKEND and qorcap's --backend take them).
std::optional<BackendKind> parseBackendKind(std::string_view text);

// A comma-separated list of hexadecimal product ids of simulated models, e.g. "01A8,008C,00A1".
// False, with the reason in `error`, when a part is not the product id of a model.
bool parseSimulatedModels(std::string_view text, std::vector<uint16_t> &models,
                          std::string &error);

struct BackendChoice {
    BackendKind kind = BackendKind::Automatic;
    // The simulated cameras to attach when the simulated bus is used; empty: those
    // QORVANTA_SIM_MODELS names, if any.
    std::vector<uint16_t> simulatedModels;
};

struct BackendSetup {
    bool usb = false;       // the libusb backend is on the bus list
    bool simulated = false; // the simulated bus is, with its cameras attached
    bool realCameras = false; // libusb found a camera
    std::string error;        // why the backends asked for could not be set up
    std::string note;         // what was chosen, and why, for a verbose front end
};

// Sets up the backends, once per process: later calls, and calls after a backend was added by
// hand (tests attach simulated cameras that way), only report what is there. QORVANTA_BACKEND
// overrides an automatic choice; QORVANTA_SIM_MODELS gives the simulated models when the choice
// names none. With the automatic choice libusb stays on the bus list even when it finds no
// camera, so that one plugged in later is seen.
BackendSetup setUpBackends(const BackendChoice &choice);

} // namespace qor::usb
