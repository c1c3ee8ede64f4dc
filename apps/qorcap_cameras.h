// qorcap's listings and settings: the cameras on the bus, the simulated models, and a camera's
// settings made, shown, saved and restored through its settings page.
#pragma once

#include "qorcap_options.h"

#include "capture/session.h"

namespace qor::apps {

// The simulator's models: product id, name, sensor, colour or monochrome, cooling. Exit code.
int listSimulatedModels(const Options &options);
// Every camera on the bus, however far it came up, and the simulated models. Exit code.
int listCameras(const Options &options, capture::System &system);
// Restores, makes, shows (for `show`) and saves the settings asked for. Exit code.
int configure(const Options &options, capture::Camera &camera);

} // namespace qor::apps
