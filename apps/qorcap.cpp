// qorcap: lists the cameras, sets them up through their settings page, and captures frames into
// PNG, TIFF, FITS or SER files, through the capture session every front end shares. Without a
// camera on the bus it uses the built-in simulated camera, which comes up from unprogrammed as a
// real one does.

#include "qorcap_cameras.h"
#include "qorcap_capture.h"
#include "qorcap_options.h"

#include "capture/session.h"
#include "platform/log.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

using namespace qor::apps;

// The driver's chatter only when asked for: warnings and errors by default.
qor::platform::LogLevel logLevelFor(int verbosity) {
    using qor::platform::LogLevel;
    return verbosity >= 2 ? LogLevel::Debug : verbosity == 1 ? LogLevel::Info : LogLevel::Warning;
}

int run(const Options &options, qor::capture::System &system) {
    if (options.command == Command::List) return listCameras(options, system);
    std::string error;
    std::unique_ptr<qor::capture::Camera> camera = system.open(options.camera, &error);
    if (!camera) {
        std::fprintf(stderr, "qorcap: %s\n", error.c_str());
        return kNoCamera;
    }
    int result = configure(options, *camera);
    if (result == kOk && options.command == Command::Capture) result = runCapture(options, *camera);
    return result;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (std::optional<int> exit = parseCommandLine(argc, argv, options)) return *exit;
    qor::platform::setLogThreshold(logLevelFor(options.verbosity));
    if (options.listSimModels) return listSimulatedModels(options);

    std::string error;
    std::unique_ptr<qor::capture::System> system =
        qor::capture::System::bringUp({options.backend, options.simModels}, &error);
    if (!system) {
        std::fprintf(stderr, "qorcap: %s\n", error.c_str());
        return kNoCamera;
    }
    if (system->cameras().empty()) {
        std::fprintf(stderr, "qorcap: %s\n", system->error().c_str());
        if (options.command != Command::List) return kNoCamera;
    }
    return run(options, *system);
}
