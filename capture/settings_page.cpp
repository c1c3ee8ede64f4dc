// The settings page driven the way a person drives it: sliders dragged, buttons clicked, popups
// chosen, in an order where each setting's bounds are already in force.
#include "capture/settings_page.h"

#include "panel/panel.h"
#include "platform/memory.h"
#include "vdig/vdig.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

namespace qor::capture {

using namespace qor::panel;
using namespace qor::panel::settings;

namespace {

// The order settings are applied in: a size change moves the frame period, which bounds the
// exposure; the matrix comes before the adjustments that act on it.
const std::vector<std::string> kOrder = {
    "size",  "slow-frames", "rounding", "auto-exposure", "exposure", "gain",    "red",
    "green", "blue",        "contrast", "brightness",    "gamma",    "decode",  "matrix",
    "hue",   "saturation",  "flip-h",   "flip-v",        "mark",     "cooling", "balance",
};

// The page's sliders: the setting's name, the slider and its readout, and the slider positions
// per unit of the value a person gives (the exposure slider counts microseconds, the gain
// sliders the camera's gain register).
struct Slider {
    const char *name;
    short item, text;
    double scale;
    const char *unit;
};
constexpr Slider kSliders[] = {
    {"exposure", kItemExposure, kItemExposureText, 1000.0, " ms"},
    {"gain", kItemGain, kItemGainText, 4000.0, ""},
    {"red", kItemRedGain, kItemRedGainText, 4000.0, ""},
    {"green", kItemGreenGain, kItemGreenGainText, 4000.0, ""},
    {"blue", kItemBlueGain, kItemBlueGainText, 4000.0, ""},
    {"contrast", kItemContrast, kItemContrastText, 1.0, ""},
    {"brightness", kItemBrightness, kItemBrightnessText, 1.0, ""},
    {"gamma", kItemGamma, kItemGammaText, 100.0, ""},
    {"hue", kItemHue, kItemHueText, 1.0, ""},
    {"saturation", kItemSaturation, kItemSaturationText, 1.0, ""},
};

const Slider *sliderNamed(const std::string &name) {
    for (const Slider &s : kSliders)
        if (name == s.name) return &s;
    return nullptr;
}

std::string menuText(ControlRef popup, int item) {
    MenuRef menu = popup ? GetControlPopupMenuHandle(popup) : nullptr;
    if (!menu) return {};
    Str255 text;
    GetMenuItemText(menu, short(item), text);
    return std::string(reinterpret_cast<char *>(text + 1), text[0]);
}

bool parseNumber(const std::string &text, double *value) {
    char *end = nullptr;
    errno = 0;
    *value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == 0 && errno == 0 && std::isfinite(*value);
}

bool parseSwitch(const std::string &text, bool *on) {
    if (text == "on" || text == "1" || text == "yes") return *on = true, true;
    if (text == "off" || text == "0" || text == "no") return *on = false, true;
    return false;
}

class Applier {
public:
    Applier(platform::SettingsDialog &d, SeqGrabComponent grabber) : d_(d), grabber_(grabber) {}

    std::string apply(const Setting &s) {
        const std::string &n = s.name;
        if (n == "size") return size(s.value);
        if (n == "slow-frames") return toggle(kItemSlowFrames, s);
        if (n == "rounding") return rounding(s.value);
        if (n == "auto-exposure") return toggle(kItemAutoExposure, s);
        if (const Slider *sl = sliderNamed(n)) return slider(*sl, s);
        if (n == "decode") return decode(s.value);
        if (n == "matrix") return matrix(s.value);
        if (n == "flip-h") return toggle(kItemFlipHorizontal, s);
        if (n == "flip-v") return toggle(kItemFlipVertical, s);
        if (n == "mark") return toggle(kItemSaturationMark, s);
        if (n == "cooling") return toggle(kItemCooling, s);
        if (n == "balance") return balance(s.value);
        return "unknown setting " + n;
    }

private:
    ControlRef control(short n) { return d_.pageControl(n); }
    bool enabled(short n) { return control(n) && IsControlEnabled(control(n)); }
    std::string missing(const std::string &name) {
        return "this camera has no " + name + " control";
    }

    std::string click(short n) {
        ComponentResult error = d_.clickItem(n);
        return error ? "the page refused the change (error " + std::to_string(error) + ")" : "";
    }

    std::string toggle(short n, const Setting &s) {
        bool on = false;
        if (!parseSwitch(s.value, &on)) return s.name + " is on or off, not " + s.value;
        if (!enabled(n)) return missing(s.name);
        if ((GetControlValue(control(n)) != 0) == on) return {};
        return click(n);
    }

    // A slider value in the page's units: the value times the slider's scale, within its range.
    std::string slider(const Slider &sl, const Setting &s) {
        double value = 0;
        if (!parseNumber(s.value, &value)) return s.name + " needs a number, not " + s.value;
        if (!enabled(sl.item)) return missing(s.name) + " (or it is automatic or off)";
        ControlRef c = control(sl.item);
        const double position = std::round(value * sl.scale);
        const int32_t low = GetControl32BitMinimum(c), high = GetControl32BitMaximum(c);
        if (position < low || position > high)
            return s.name + " must be between " + sliderText(low, sl.scale) + " and " +
                   sliderText(high, sl.scale) + sl.unit;
        platform::dragSlider(c, int32_t(position));
        return {};
    }

    std::string popup(short n, int item) {
        if (!enabled(n) || !platform::choosePopupItem(control(n), item))
            return "this camera cannot choose that";
        return click(n);
    }

    std::string size(const std::string &value) {
        ControlRef c = control(kItemSize);
        if (!c) return missing("size");
        if (value == "full") return popup(kItemSize, 1);
        std::string wanted = value;
        const bool sub = wanted.size() > 4 && wanted.substr(wanted.size() - 4) == "-sub";
        if (sub) wanted.resize(wanted.size() - 4);
        unsigned w = 0, h = 0;
        char extra = 0;
        if (std::sscanf(wanted.c_str(), "%ux%u%c", &w, &h, &extra) != 2)
            return "size is WIDTHxHEIGHT, WIDTHxHEIGHT-sub or full, not " + value;
        const std::string text = std::to_string(w) + " x " + std::to_string(h);
        std::string sizes;
        for (int item = 1; item <= GetControl32BitMaximum(c); ++item) {
            const std::string entry = menuText(c, item);
            const bool entrySub = entry.find("Subsampled") != std::string::npos;
            if (entry.rfind(text, 0) == 0 && entry.size() >= text.size() && entrySub == sub &&
                (entry.size() == text.size() || entry[text.size()] == ' '))
                return popup(kItemSize, item);
            sizes += (sizes.empty() ? "" : ", ") + entry;
        }
        return "this camera has no size " + value + "; it has " + sizes;
    }

    std::string rounding(const std::string &value) {
        static const std::map<std::string, int> items = {{"120", 1}, {"100", 2}, {"none", 3}};
        auto it = items.find(value);
        if (it == items.end()) return "rounding is 120, 100 or none, not " + value;
        return popup(kItemExposureRounding, it->second);
    }

    std::string decode(const std::string &value) {
        if (value != "block" && value != "interpolated")
            return "decode is block or interpolated, not " + value;
        const short n = value == "block" ? kItemBlockDecode : kItemInterpolatedDecode;
        if (!enabled(n)) return "a monochrome camera has no demosaic to choose";
        return click(n);
    }

    std::string matrix(const std::string &value) {
        int index = -1;
        if (value == "none")
            index = 0;
        else if (value.size() == 1 && value[0] >= '1' && value[0] <= '5')
            index = value[0] - '0';
        if (index < 0) return "matrix is none or 1 to 5, not " + value;
        if (!enabled(kItemColorMatrix)) return "a monochrome camera has no colour matrix";
        return popup(kItemColorMatrix, index + 1);
    }

    std::string balance(const std::string &value) {
        if (value != "auto") return "balance takes the value auto";
        if (!enabled(kItemColorBalance)) return "a monochrome camera has no colour balance";
        // The balance works on arriving frames.
        ComponentResult error = SGStartPreview(grabber_);
        if (error)
            return "cannot preview for the colour balance (error " + std::to_string(error) + ")";
        std::string result = click(kItemColorBalance);
        SGStop(grabber_);
        return result;
    }

    platform::SettingsDialog &d_;
    SeqGrabComponent grabber_;
};

std::string onOff(ControlRef c) {
    if (!c || !IsControlEnabled(c)) return "-";
    return GetControlValue(c) ? "on" : "off";
}

// A slider's value from where it stands, not from its readout, which shows two decimals whatever
// the range; "-" when the camera has no such control.
std::string readout(platform::SettingsDialog &d, const char *name) {
    const Slider &sl = *sliderNamed(name);
    ControlRef c = d.pageControl(sl.item);
    if (!c || platform::controlText(d.pageControl(sl.text)).empty()) return "-";
    const std::string value = sliderText(GetControl32BitValue(c), sl.scale) + sl.unit;
    return IsControlEnabled(c) ? value : value + " (fixed)";
}

} // namespace

bool parseSetting(const std::string &text, Setting *setting, std::string *error) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
        *error = "a setting is NAME=VALUE: " + text;
        return false;
    }
    setting->name = text.substr(0, equals);
    setting->value = text.substr(equals + 1);
    if (std::find(kOrder.begin(), kOrder.end(), setting->name) == kOrder.end()) {
        std::string names;
        for (const std::string &name : kOrder) names += (names.empty() ? "" : ", ") + name;
        *error = "unknown setting " + setting->name + "; the settings are " + names;
        return false;
    }
    return true;
}

std::string applySettings(platform::SettingsDialog &dialog, SeqGrabComponent grabber,
                          const std::vector<Setting> &settings) {
    Applier applier(dialog, grabber);
    for (const std::string &name : kOrder)
        for (const Setting &s : settings)
            if (s.name == name)
                if (std::string error = applier.apply(s); !error.empty()) return error;
    return {};
}

std::string sliderText(double position, double scale) {
    // One step of the slider is 1/scale: enough decimals that neighbouring steps read apart.
    const int decimals = scale > 1 ? int(std::ceil(std::log10(scale) - 1e-9)) : 0;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, position / scale);
    return text;
}

std::vector<std::pair<std::string, std::string>> describePage(platform::SettingsDialog &d) {
    auto text = [&](short n) { return platform::controlText(d.pageControl(n)); };
    auto menuChoice = [&](short n) {
        ControlRef c = d.pageControl(n);
        if (!c || !IsControlEnabled(c)) return std::string("-");
        return menuText(c, GetControl32BitValue(c));
    };
    auto onOffItem = [&](short n) { return onOff(d.pageControl(n)); };
    ControlRef block = d.pageControl(kItemBlockDecode);
    const std::string decode = !block || !IsControlEnabled(block) ? "-"
                               : GetControlValue(block)           ? "block"
                                                                  : "interpolated";
    return {
        {"camera", text(kItemCameraModel)},
        {"versions", text(kItemFpgaVersion) + ", " + text(kItemFirmwareVersion) + ", " +
                         text(kItemDriverVersion)},
        {"size", menuChoice(kItemSize)},
        {"exposure", readout(d, "exposure")},
        {"auto-exposure", onOffItem(kItemAutoExposure)},
        {"rounding", menuChoice(kItemExposureRounding)},
        {"slow-frames", onOffItem(kItemSlowFrames)},
        {"gain", readout(d, "gain")},
        {"red", readout(d, "red")},
        {"green", readout(d, "green")},
        {"blue", readout(d, "blue")},
        {"contrast", readout(d, "contrast")},
        {"brightness", readout(d, "brightness")},
        {"gamma", readout(d, "gamma")},
        {"decode", decode},
        {"matrix", menuChoice(kItemColorMatrix)},
        {"hue", readout(d, "hue")},
        {"saturation", readout(d, "saturation")},
        {"flip-h", onOffItem(kItemFlipHorizontal)},
        {"flip-v", onOffItem(kItemFlipVertical)},
        {"mark", onOffItem(kItemSaturationMark)},
        {"cooling", onOffItem(kItemCooling)},
    };
}

namespace {

// The panel files its settings under its maker's code.
constexpr OSType kSettingsType = fourCharCode("QORN");

} // namespace

namespace {

// The settings block the panel keeps with the channel, as it would save it now.
std::string currentBlock(SeqGrabComponent grabber, SGChannel channel, std::vector<uint8_t> *out) {
    UserData all = nullptr;
    ComponentResult error = SGGetChannelSettings(grabber, channel, &all, 0);
    if (error) return "cannot read the camera's settings (error " + std::to_string(error) + ")";
    Handle block = NewHandle(0);
    error = block ? ComponentResult(GetUserData(all, block, kSettingsType, 1))
                  : ComponentResult(memFullErr);
    DisposeUserData(all);
    if (error) {
        if (block) DisposeHandle(block);
        return "the settings page saved nothing (error " + std::to_string(error) + ")";
    }
    out->assign(*block, *block + GetHandleSize(block));
    DisposeHandle(block);
    return {};
}

uint32_t field16(const std::vector<uint8_t> &b, size_t at) {
    return uint32_t(b[at]) << 8 | b[at + 1];
}

uint32_t field32(const std::vector<uint8_t> &b, size_t at) {
    return field16(b, at) << 16 | field16(b, at + 2);
}

// The settings of a restored block that the camera does not hold afterwards, by the names they
// are set by: what a camera of another model could not take, or held to its own range.
std::vector<std::string> settingsNotTaken(const std::vector<uint8_t> &saved,
                                          const std::vector<uint8_t> &now) {
    std::vector<std::string> missed;
    auto add = [&](const std::string &name) {
        if (std::find(missed.begin(), missed.end(), name) == missed.end()) missed.push_back(name);
    };
    auto same = [&](size_t at, size_t bytes) {
        return std::equal(saved.begin() + long(at), saved.begin() + long(at + bytes),
                          now.begin() + long(at));
    };
    auto sameFlag = [&](size_t at) { return (saved[at] != 0) == (now[at] != 0); };

    if (!same(kWidth, 6)) {
        add("size " + std::to_string(field16(saved, kWidth)) + " x " +
            std::to_string(field16(saved, kHeight)) +
            (field16(saved, kSubsampling) == 2 ? " subsampled" : ""));
    }
    const uint32_t exposure = field32(saved, kExposure);
    if (exposure == kAutomatic && field32(now, kExposure) != kAutomatic)
        add("auto-exposure");
    else if (exposure != kAutomatic && exposure != kAbsent && !same(kExposure, 4))
        add("exposure");
    const std::pair<size_t, const char *> gains[] = {{kGain, "gain"},
                                                     {kRedGain, "red"},
                                                     {kGreen1Gain, "green"},
                                                     {kGreen2Gain, "green"},
                                                     {kBlueGain, "blue"}};
    for (auto [at, name] : gains)
        if (field32(saved, at) != kAbsent && !same(at, 4)) add(name);
    const std::pair<size_t, const char *> numbers[] = {
        {kContrast, "contrast"}, {kBrightness, "brightness"},
        {kGamma, "gamma"},       {kMatrixIndex, "matrix"},
        {kHue, "hue"},           {kSaturation, "saturation"}};
    for (auto [at, name] : numbers)
        if (!same(at, at == kMatrixIndex ? 2 : 4)) add(name);
    if (saved[kDecodeMethod] != now[kDecodeMethod]) add("decode");
    if (!same(kTargetRed, 6)) add("the colour-balance target");
    const std::pair<size_t, const char *> flags[] = {{kFlipHorizontal, "flip-h"},
                                                     {kFlipVertical, "flip-v"},
                                                     {kSaturationMark, "mark"},
                                                     {kSlowFrames, "slow-frames"},
                                                     {kCooling, "cooling"}};
    for (auto [at, name] : flags)
        if (!sameFlag(at)) add(name);
    if (saved[kRounding] != now[kRounding]) add("rounding");
    return missed;
}

} // namespace

std::string saveSettings(SeqGrabComponent grabber, SGChannel channel, const std::string &path) {
    std::vector<uint8_t> block;
    if (std::string error = currentBlock(grabber, channel, &block); !error.empty()) return error;
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char *>(block.data()), std::streamsize(block.size()));
    file.close();
    if (!file) return "cannot write " + path;
    return {};
}

std::string loadSettings(SeqGrabComponent grabber, SGChannel channel, const std::string &path) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status))
        return "cannot read " + path + ": " + (ec ? ec.message() : "no such file");
    if (std::filesystem::is_directory(status)) return path + " is a directory, not a settings file";
    if (!std::filesystem::is_regular_file(status))
        return path + " is not a settings file: not a regular file";
    std::ifstream file(path, std::ios::binary);
    // One byte more than a block, to tell a longer file.
    std::vector<uint8_t> saved(size_t(kBlockBytes) + 1);
    if (file) file.read(reinterpret_cast<char *>(saved.data()), std::streamsize(saved.size()));
    if (!file && !file.eof()) return "cannot read " + path;
    saved.resize(size_t(file.gcount()));
    if (saved.size() != size_t(kBlockBytes))
        return path + " is not a settings file of this camera driver: a settings file has " +
               std::to_string(kBlockBytes) + " bytes";
    if (const uint32_t version = field32(saved, kVersion); version != kBlockVersion) {
        // A version word is a small number: major and minor version, 16 bits each.
        if (version >> 24 != 0)
            return path + " is not a settings file of this camera driver: nothing was applied";
        char text[160];
        std::snprintf(text, sizeof text,
                      " holds settings of another version (0x%08X; this driver reads 0x%08X): "
                      "nothing was applied",
                      version, kBlockVersion);
        return path + text;
    }

    Handle block = NewHandle(Size(saved.size()));
    if (!block) return "out of memory";
    std::copy(saved.begin(), saved.end(), *block);
    UserData all = nullptr;
    ComponentResult error = NewUserData(&all);
    if (!error) error = AddUserData(all, block, kSettingsType);
    DisposeHandle(block);
    if (!error) error = SGSetChannelSettings(grabber, channel, all, 0);
    if (all) DisposeUserData(all);
    if (error == qtParamErr)
        return path + " is damaged: it holds values the settings page never saves; nothing was "
                      "applied";
    if (error) return "cannot apply " + path + " (error " + std::to_string(error) + ")";

    std::vector<uint8_t> now;
    if (std::string problem = currentBlock(grabber, channel, &now); !problem.empty())
        return problem;
    const std::vector<std::string> missed = settingsNotTaken(saved, now);
    if (missed.empty()) return {};
    std::string list;
    for (size_t i = 0; i < missed.size(); ++i)
        list += (i == 0 ? "" : i + 1 == missed.size() ? " and " : ", ") + missed[i];
    return path + " was saved from another camera: this one could not take its " + list;
}

} // namespace qor::capture
