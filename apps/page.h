// The camera's settings as the settings page shows and changes them: settings given by name on
// the command line are set through the page's controls, as a person would set them, and the
// page's readouts describe the camera.
#pragma once

#include "platform/seqgrab.h"

#include <string>
#include <vector>

namespace qor::apps {

struct Setting {
    std::string name;
    std::string value;
};

// "name=value"; false, with the reason, for anything else or an unknown name.
bool parseSetting(const std::string &text, Setting *setting, std::string *error);
// What the names and values are, for the help text.
extern const char *const kSettingsHelp;

// Sets each setting through the page shown in the dialog. The colour balance needs frames: it
// runs while `grabber` previews. Returns an empty string, or what could not be set.
std::string applySettings(platform::SettingsDialog &dialog, SeqGrabComponent grabber,
                          const std::vector<Setting> &settings);
// The page's values, one "name  value" line each.
std::string describePage(platform::SettingsDialog &dialog);

// The channel's saved settings (the panel's block) into a file, and back. Loading refuses
// what is not a settings file of this driver's version, and names the settings a camera could not
// take (a file saved from another model); an empty string when all of them were applied.
std::string saveSettings(SeqGrabComponent grabber, SGChannel channel, const std::string &path);
std::string loadSettings(SeqGrabComponent grabber, SGChannel channel, const std::string &path);

} // namespace qor::apps
