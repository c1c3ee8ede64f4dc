// The process's choice of USB backends, made once: the libusb backend for real cameras, the
// simulated bus for simulated ones, or both while no real camera is attached.
#include "usb/backend_choice.h"

#include "libusb/libusb_backend.h"
#include "platform/usb_backend.h"
#include "sim/models.h"
#include "sim/sim.h"
#include "usb/registration.h"
#include "usb/vendor_ids.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace qor::usb {
namespace {

constexpr uint16_t kUnprogrammedBit = 0x8000;

struct ChoiceState {
    std::mutex lock;
    bool made = false;
    BackendSetup setup;
};

ChoiceState &state() {
    static auto *s = new ChoiceState; // outlives every thread that may still ask at exit
    return *s;
}

bool isCameraProduct(uint16_t productID) {
    const uint16_t model = productID & ~kUnprogrammedBit;
    return std::find(kCameraProductIDs.begin(), kCameraProductIDs.end(), model) !=
           kCameraProductIDs.end();
}

bool holdsCamera(Backend &backend) {
    for (const std::shared_ptr<Device> &device : backend.devices()) {
        const DeviceDescriptor d = device->deviceDescriptor();
        if ((d.idVendor == kCameraVendorID || d.idVendor == kCameraVendorID2) &&
            isCameraProduct(d.idProduct))
            return true;
    }
    return false;
}

// What the bus list holds when a program (or a test) added its backends by hand.
BackendSetup describeExisting(const std::vector<std::shared_ptr<Backend>> &present) {
    BackendSetup setup;
    for (const std::shared_ptr<Backend> &backend : present) {
        const bool simulated = backend == sim::simulatedBus();
        (simulated ? setup.simulated : setup.usb) = true;
        if (!simulated && holdsCamera(*backend)) setup.realCameras = true;
    }
    setup.note = "using the USB backends already set up";
    return setup;
}

std::vector<uint16_t> modelsFromEnvironment(std::string &error) {
    std::vector<uint16_t> models;
    const char *text = std::getenv("QORVANTA_SIM_MODELS");
    if (text && *text && !parseSimulatedModels(text, models, error)) {
        error = "QORVANTA_SIM_MODELS: " + error;
        models.clear();
    }
    return models;
}

void attachSimulated(const std::vector<uint16_t> &models) {
    addBackend(sim::simulatedBus());
    for (uint16_t productID : models) {
        sim::CameraOptions options;
        options.productID = productID;
        sim::attachCamera(options);
    }
}

} // namespace

std::optional<BackendKind> parseBackendKind(std::string_view text) {
    static constexpr std::pair<std::string_view, BackendKind> kNames[] = {
        {"usb", BackendKind::Usb}, {"sim", BackendKind::Simulated}, {"auto", BackendKind::Automatic}};
    for (const auto &[name, kind] : kNames)
        if (text == name) return kind;
    return std::nullopt;
}

bool parseSimulatedModels(std::string_view text, std::vector<uint16_t> &models,
                          std::string &error) {
    std::vector<uint16_t> parsed;
    while (true) {
        const size_t comma = text.find(',');
        const std::string part(text.substr(0, comma));
        char *end = nullptr;
        const unsigned long id = std::strtoul(part.c_str(), &end, 16);
        if (part.empty() || *end != '\0' || id > 0x7FFF || !sim::findModel(uint16_t(id))) {
            error = "\"" + part + "\" is not the product id of a camera model (such as 01A8)";
            return false;
        }
        parsed.push_back(uint16_t(id));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    models = std::move(parsed);
    return true;
}

BackendSetup setUpBackends(const BackendChoice &choice) {
    ChoiceState &s = state();
    std::lock_guard guard(s.lock);
    if (s.made) return s.setup;
    if (const std::vector<std::shared_ptr<Backend>> present = backends(); !present.empty())
        return describeExisting(present);

    BackendSetup setup;
    BackendKind kind = choice.kind;
    if (kind == BackendKind::Automatic) {
        if (const char *text = std::getenv("QORVANTA_BACKEND"); text && *text) {
            if (std::optional<BackendKind> named = parseBackendKind(text)) {
                kind = *named;
            } else {
                setup.error = std::string("QORVANTA_BACKEND is usb, sim or auto, not \"") + text +
                              "\"";
                return setup;
            }
        }
    }
    std::vector<uint16_t> models = choice.simulatedModels;
    if (models.empty()) {
        models = modelsFromEnvironment(setup.error);
        if (!setup.error.empty()) return setup;
    }

    if (kind != BackendKind::Simulated) {
        std::string why;
        if (std::shared_ptr<Backend> usb =
                libusb::startBackend({kCameraVendorID, kCameraVendorID2}, &why)) {
            addBackend(usb);
            setup.usb = true;
            setup.realCameras = holdsCamera(*usb);
        } else if (kind == BackendKind::Usb) {
            setup.error = "cannot reach USB devices: " + why;
            return setup;
        } else {
            setup.note = "libusb is not available (" + why + "); ";
        }
    }
    if (kind == BackendKind::Simulated || (kind == BackendKind::Automatic && !setup.realCameras)) {
        attachSimulated(models);
        setup.simulated = true;
    }
    if (setup.realCameras)
        setup.note += "a camera is attached: using real cameras";
    else if (kind == BackendKind::Usb)
        setup.note += "real cameras only: none is attached yet";
    else
        setup.note += kind == BackendKind::Simulated ? "simulated cameras, as asked"
                                                     : "no camera attached: simulated cameras";
    s.made = true;
    s.setup = setup;
    return setup;
}

} // namespace qor::usb
