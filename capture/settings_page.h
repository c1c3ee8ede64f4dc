// The camera's settings as its settings page shows and changes them: settings given by name are
// set through the page's controls, as a person would set them, and the page's controls are read
// back with the precision their ranges need.
#pragma once

#include "capture/session.h"
#include "platform/seqgrab.h"

#include <string>
#include <utility>
#include <vector>

namespace qor::capture {

// Sets each setting through the page shown in the dialog, in the page's order. The colour
// balance needs frames: it runs while `grabber` previews. Empty, or what could not be set.
std::string applySettings(platform::SettingsDialog &dialog, SeqGrabComponent grabber,
                          const std::vector<Setting> &settings);
// The page's values as (name, value) pairs.
std::vector<std::pair<std::string, std::string>> describePage(platform::SettingsDialog &dialog);

// The channel's saved settings (the panel's block) into a file, and back. Loading refuses what
// is not a settings file of this driver's version, and names the settings a camera could not
// take (a file saved from another model); empty when all of them were applied.
std::string saveSettings(SeqGrabComponent grabber, SGChannel channel, const std::string &path);
std::string loadSettings(SeqGrabComponent grabber, SGChannel channel, const std::string &path);

// A slider's value in the page's units, with as many decimals as one step of the slider
// needs to show (a step of 1/4000 needs four).
std::string sliderText(double position, double scale);

} // namespace qor::capture
