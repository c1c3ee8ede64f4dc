// The command line through CLI11: one set of options per concern (which camera, settings, the
// capture, output), given to the commands that use them. Capturing is also what the program does
// without a command, so the program itself takes the capture command's options; options may
// stand before or after the command.

#include "qorcap_options.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qor::apps {

namespace {

constexpr uint16_t kDefaultSimModel = 0x01A8;

const char *const kExitCodes = "exit codes:\n"
                               "  0    done\n"
                               "  1    bad arguments or settings\n"
                               "  2    no such camera, or none came up\n"
                               "  3    the capture could not start, or the camera stopped sending\n"
                               "  4    the camera was unplugged (the frames so far are kept)\n"
                               "  5    the files could not be written (those written are kept)\n"
                               "  130  stopped by Ctrl-C (SIGINT), 143 by SIGTERM: the queued\n"
                               "       frames were written and the files closed\n";

// A number at least `low` (and above it when `open`), at most `high`.
CLI::Validator numberBetween(double low, double high, bool open, const char *what) {
    return CLI::Validator(
        [=](std::string &text) -> std::string {
            char *end = nullptr;
            errno = 0;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != 0 || errno != 0 || !std::isfinite(value) || value < low ||
                (open && value == low) || value > high)
                return std::string(what) + ": " + text;
            return {};
        },
        "");
}

CLI::Validator wholeNumberFrom(uint64_t low, const char *what) {
    return CLI::Validator(
        [=](std::string &text) -> std::string {
            char *end = nullptr;
            errno = 0;
            const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || text[0] == '-' || *end != 0 || errno != 0 || value < low)
                return std::string(what) + ": " + text;
            return {};
        },
        "");
}

void addSetting(Options &o, const std::string &text) {
    capture::Setting setting;
    std::string error;
    if (!capture::parseSetting(text, &setting, &error)) throw CLI::ValidationError(error);
    o.settings.push_back(setting);
}

// Which camera (`choose`: for the commands that open one), and the cameras the process reaches.
void addSelection(CLI::App &app, Options &o, bool choose) {
    const char *group = "Camera";
    if (choose)
        app.add_option_function<std::string>(
               "-c,--camera", [&o](const std::string &v) { o.camera = v; },
               "the camera: its name, serial or index in the list (default: the first)")
            ->type_name("NAME|SERIAL|INDEX")
            ->group(group);
    app.add_option_function<std::string>(
           "--backend",
           [&o](const std::string &v) {
               std::optional<usb::BackendKind> kind = usb::parseBackendKind(v);
               if (!kind) throw CLI::ValidationError("--backend is usb, sim or auto: " + v);
               o.backend = *kind;
           },
           "usb (real cameras only), sim (simulated only) or auto (real ones when any is "
           "attached, else simulated); QORVANTA_BACKEND gives the default")
        ->type_name("KIND")
        ->group(group);
    app.add_flag_callback(
           "--sim", [&o] { o.backend = usb::BackendKind::Simulated; }, "the same as --backend sim")
        ->group(group);
    app.add_option_function<std::vector<std::string>>(
           "--sim-model",
           [&o](const std::vector<std::string> &values) {
               for (const std::string &v : values) {
                   if (v.empty()) {
                       o.listSimModels = true;
                       continue;
                   }
                   std::vector<uint16_t> models;
                   std::string error;
                   if (!usb::parseSimulatedModels(v, models, error))
                       throw CLI::ValidationError("--sim-model: " + error);
                   o.simModels.insert(o.simModels.end(), models.begin(), models.end());
               }
           },
           "simulated models, hexadecimal product ids such as 01A8,00A1 (repeat for more "
           "cameras; default: QORVANTA_SIM_MODELS, else 01A8); without a value: list the "
           "models")
        ->expected(0, 1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("[PID,...]")
        ->group(group);
}

// Settings through the camera's settings page.
void addSettings(CLI::App &app, Options &o) {
    const char *group = "Settings";
    app.add_option_function<std::vector<std::string>>(
           "settings",
           [&o](const std::vector<std::string> &values) {
               for (const std::string &v : values) addSetting(o, v);
           },
           "settings to make through the camera's settings page (listed below)")
        ->type_name("NAME=VALUE")
        ->group(group);
    app.add_option_function<std::vector<std::string>>(
           "--set",
           [&o](const std::vector<std::string> &values) {
               for (const std::string &v : values) addSetting(o, v);
           },
           "a setting, as NAME=VALUE (the same as giving it without --set)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("NAME=VALUE")
        ->group(group);
    app.add_option_function<std::string>(
           "--load", [&o](const std::string &v) { o.loadFrom = v; },
           "restore the settings saved in FILE first")
        ->type_name("FILE")
        ->group(group);
    app.add_option_function<std::string>(
           "--save", [&o](const std::string &v) { o.saveTo = v; },
           "save the settings (after those given) to FILE")
        ->type_name("FILE")
        ->group(group);
}

struct Given {
    bool frames = false, seconds = false;
};

void addCapture(CLI::App &app, Options &o, Given &given) {
    const char *group = "Capture";
    app.add_option_function<uint64_t>(
           "-n,--frames",
           [&o, &given](uint64_t v) {
               o.frames = v;
               given.frames = true;
           },
           "capture N frames (default 10)")
        ->type_name("N")
        ->check(wholeNumberFrom(1, "needs a whole number of at least 1"))
        ->group(group);
    app.add_option_function<double>(
           "-t,--seconds",
           [&o, &given](double v) {
               o.seconds = v;
               given.seconds = true;
           },
           "capture for T seconds instead")
        ->type_name("T")
        ->check(numberBetween(0, 1e9, true, "needs a time above 0"))
        ->group(group);
    app.add_option_function<std::string>(
           "-m,--mode",
           [&o](const std::string &v) {
               if (v != "record" && v != "preview")
                   throw CLI::ValidationError("--mode is record or preview: " + v);
               o.record = v == "record";
           },
           "record (default: time stamps from the recording's start) or preview")
        ->type_name("MODE")
        ->group(group);
    app.add_option_function<double>(
           "-r,--rate", [&o](double v) { o.rate = v; },
           "hand out at most FPS frames a second (default: every frame)")
        ->type_name("FPS")
        ->check(numberBetween(0, 30000, true, "needs frames a second above 0"))
        ->group(group);
    app.add_option_function<std::string>(
           "-o,--out", [&o](const std::string &v) { o.recorder.directory = v; },
           "where the files go (default out); a folder holding an earlier capture is left "
           "alone and DIR-2, DIR-3 ... used instead")
        ->type_name("DIR")
        ->group(group);
    app.add_option_function<std::string>(
           "--format",
           [&o](const std::string &v) {
               std::optional<capture::FileFormat> format = capture::parseFileFormat(v);
               if (!format) throw CLI::ValidationError("--format is png, tiff, fits or ser: " + v);
               o.recorder.format = *format;
           },
           "png (default), tiff, fits (a file per frame, with a sidecar of every frame's "
           "metadata) or ser (one video file)")
        ->type_name("FORMAT")
        ->group(group);
    app.add_flag_callback(
           "--mosaic", [&o] { o.mosaic = true; },
           "the sensor's raw mosaic frames (one byte per pixel, the Bayer pattern recorded) "
           "instead of decoded colour")
        ->group(group);
    app.add_flag_callback(
           "--raw", [&o] { o.mosaic = true; }, "the old spelling of --mosaic")
        ->group(group);
    app.add_flag_callback(
           "--no-png", [&o] { o.writeFiles = false; },
           "write no files: capture and count the frames only")
        ->group(group);
    app.add_flag_callback(
           "--overwrite", [&o] { o.recorder.overwrite = true; },
           "write into DIR even when it holds an earlier capture (replacing its files)")
        ->group(group);
    app.add_option_function<uint64_t>(
           "--buffer", [&o](uint64_t v) { o.recorder.memoryBudget = size_t(v) << 20; },
           "memory for frames waiting to be written, in MB (default 256); frames beyond it "
           "are skipped and counted")
        ->type_name("MB")
        ->check(wholeNumberFrom(1, "needs a whole number of MB, at least 1"))
        ->group(group);
    app.add_option_function<std::string>(
           "--sidecar",
           [&o](const std::string &v) {
               if (v == "csv")
                   o.recorder.sidecar = capture::SidecarFormat::Csv;
               else if (v == "jsonl")
                   o.recorder.sidecar = capture::SidecarFormat::JsonLines;
               else
                   throw CLI::ValidationError("--sidecar is csv or jsonl: " + v);
           },
           "the per-frame metadata file of png, tiff and fits captures: csv (default) or jsonl")
        ->type_name("KIND")
        ->group(group);
}

void addOutput(CLI::App &app, Options &o, bool progress, bool json) {
    const char *group = "Output";
    if (progress)
        app.add_flag_callback(
               "-q,--quiet", [&o] { o.quiet = true; },
               "no progress and no description of the capture: the summary line only")
            ->group(group);
    if (json)
        app.add_flag_callback(
               "--json", [&o] { o.json = true; },
               "machine-readable: one JSON object on standard output")
            ->group(group);
    app.add_flag_function(
           "-v,--verbose", [&o](int64_t count) { o.verbosity += int(count); },
           "the driver's information lines too (-vv: and its debug lines); QORVANTA_DEBUG does "
           "the same for any program")
        ->group(group);
}

} // namespace

std::optional<int> parseCommandLine(int argc, char **argv, Options &o) {
    Given given;
    CLI::App app("Captures frames from Qorvanta cameras, real or simulated, into PNG, TIFF, FITS "
                 "or SER files. Without a command it captures.",
                 "qorcap");
    app.set_version_flag("--version", std::string("qorcap ") + capture::driverVersion(),
                         "the driver's version");
    app.footer(std::string(capture::settingsHelp()) + "\n" + kExitCodes);
    app.require_subcommand(0, 1);
    addSelection(app, o, true);
    addSettings(app, o);
    addCapture(app, o, given);
    addOutput(app, o, true, true);

    CLI::App *list = app.add_subcommand(
        "list", "the cameras (index, name, serial, model, sensor, cooling, how far each came "
                "up, where, real or simulated) and the simulated models");
    addSelection(*list, o, false);
    addOutput(*list, o, false, true);
    list->footer("examples:\n  qorcap list\n  qorcap list --json\n"
                 "  qorcap list --sim-model 01A8,00A1");

    CLI::App *show = app.add_subcommand("show", "the camera's settings as its settings page "
                                                "shows them (after the settings given)");
    addSelection(*show, o, true);
    addSettings(*show, o);
    addOutput(*show, o, false, true);
    show->footer(std::string("examples:\n  qorcap show -c 1\n  qorcap show gamma=1.5 flip-v=on "
                             "--save cam.qset\n\n") +
                 capture::settingsHelp());

    CLI::App *captureCommand =
        app.add_subcommand("capture", "capture frames into files (what qorcap does without "
                                      "a command)");
    addSelection(*captureCommand, o, true);
    addSettings(*captureCommand, o);
    addCapture(*captureCommand, o, given);
    addOutput(*captureCommand, o, true, true);
    captureCommand->footer(
        std::string("examples:\n  qorcap capture -n 50 -o frames\n"
                    "  qorcap capture -t 10 --format ser --mosaic -o night\n"
                    "  qorcap capture -c 1 --format fits exposure=20 gain=0.008\n\n") +
        capture::settingsHelp() + "\n" + kExitCodes);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "qorcap: %s\n(qorcap --help lists the commands and options)\n",
                     e.what());
        return kUsage;
    }
    if (given.frames && given.seconds) {
        std::fprintf(stderr, "qorcap: give a frame count (-n) or a time (-t), not both\n");
        return kUsage;
    }
    if (!given.seconds) o.seconds = 0;
    if (list->parsed())
        o.command = Command::List;
    else if (show->parsed())
        o.command = Command::Show;
    const char *named = std::getenv("QORVANTA_SIM_MODELS");
    if (o.simModels.empty() && !(named && *named)) o.simModels.push_back(kDefaultSimModel);
    return std::nullopt;
}

} // namespace qor::apps
