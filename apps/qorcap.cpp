// qorcap: lists the cameras, sets them up through their settings page, and captures frames
// through their video digitizers the way a capture program does, writing them as PNG files (and,
// if asked, as the raw bytes delivered). Without a camera on the bus it uses the built-in
// simulated camera, which comes up from unprogrammed as a real one does.

#include "cameras.h"
#include "frame_writer.h"
#include "page.h"

#include "platform/memory.h"
#include "platform/misc.h"
#include "platform/runloop.h"
#include "platform/seqgrab.h"
#include "platform/videodigitizer.h"
#include "usb/camera_record.h"

#include <qorvanta/vdig.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using qor::apps::CameraEntry;
using qor::apps::FrameFormat;
using qor::apps::FrameWriter;
using qor::apps::PixelLayout;
using Clock = std::chrono::steady_clock;

enum ExitCode {
    kOk = 0,
    kUsage = 1,
    kNoCamera = 2,
    kCaptureFailed = 3,
    kCameraLost = 4,
    kWriteFailed = 5,
};

constexpr uint16_t kDefaultSimModel = 0x01A8;

struct Options {
    std::string command = "capture";
    std::string camera;
    uint64_t frames = 10;
    double seconds = 0.0; // non-zero: capture for this long instead of a frame count
    bool record = true;
    double rate = 0.0;
    std::string outDir = "out";
    bool png = true;
    bool raw = false;
    qor::usb::BackendKind backend = qor::usb::BackendKind::Automatic;
    std::vector<uint16_t> simModels;
    std::vector<qor::apps::Setting> settings;
    std::string saveTo, loadFrom;
};

void usage(std::FILE *to) {
    std::fprintf(
        to,
        "usage: qorcap [list | show | capture] [options] [NAME=VALUE ...]\n"
        "  list                  the cameras: name, model, sensor, colour or mono, cooling,\n"
        "                        how far each came up, where it is plugged in, real or\n"
        "                        simulated\n"
        "  show                  the camera's settings as its settings page shows them\n"
        "  capture               capture frames (the default)\n"
        "options:\n"
        "  -c, --camera NAME     the camera, by its name in the list (default: the first)\n"
        "  -n, --frames N        capture N frames (default 10)\n"
        "  -t, --seconds T       capture for T seconds instead\n"
        "  -m, --mode MODE       record (default) or preview\n"
        "  -r, --rate FPS        hand out at most FPS frames a second (default: every frame)\n"
        "  -o, --out DIR         where the frames go (default out)\n"
        "      --raw             also write each frame's bytes as delivered (frame-N.raw):\n"
        "                        one grey byte per pixel, or four colour bytes A,R,G,B\n"
        "      --no-png          write no PNG files\n"
        "      --load FILE       restore the settings saved in FILE first\n"
        "      --save FILE       save the settings (after the ones given) to FILE\n"
        "cameras reached (real ones through USB when any is attached, else simulated):\n"
        "      --backend KIND    usb (real cameras only), sim (simulated only) or auto;\n"
        "                        QORVANTA_BACKEND gives the default\n"
        "      --sim             the same as --backend sim\n"
        "      --sim-model PID   the model to simulate, a hexadecimal product id\n"
        "                        (default: QORVANTA_SIM_MODELS, a list such as 01A8,008C,\n"
        "                        else 01A8; repeat for several cameras)\n"
        "%s",
        qor::apps::kSettingsHelp);
}

bool parseNumber(const char *text, double *value) {
    char *end = nullptr;
    errno = 0;
    *value = std::strtod(text, &end);
    return end != text && *end == 0 && errno == 0 && *value >= 0.0;
}

bool addSetting(const std::string &text, Options &o) {
    qor::apps::Setting setting;
    std::string error;
    if (!qor::apps::parseSetting(text, &setting, &error)) {
        std::fprintf(stderr, "qorcap: %s\n", error.c_str());
        return false;
    }
    o.settings.push_back(setting);
    return true;
}

bool parse(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto is = [&](const char *shortName, const char *longName) {
            return (shortName && arg == shortName) || arg == longName;
        };
        auto needsValue = [&] {
            if (value) return true;
            std::fprintf(stderr, "qorcap: %s needs a value\n", arg.c_str());
            return false;
        };
        double number = 0.0;
        if (is("-h", "--help")) {
            usage(stdout);
            std::exit(kOk);
        } else if (is("-c", "--camera")) {
            if (!needsValue()) return false;
            o.camera = value;
            ++i;
        } else if (is("-n", "--frames")) {
            if (!needsValue()) return false;
            if (!parseNumber(value, &number) || number < 1 || number != uint64_t(number)) {
                std::fprintf(stderr, "qorcap: --frames needs a whole number of at least 1: %s\n",
                             value);
                return false;
            }
            o.frames = uint64_t(number);
            o.seconds = 0.0;
            ++i;
        } else if (is("-t", "--seconds")) {
            if (!needsValue()) return false;
            if (!parseNumber(value, &number) || number <= 0.0) {
                std::fprintf(stderr, "qorcap: --seconds needs a time above 0: %s\n", value);
                return false;
            }
            o.seconds = number;
            ++i;
        } else if (is("-m", "--mode")) {
            if (!needsValue()) return false;
            if (std::strcmp(value, "record") != 0 && std::strcmp(value, "preview") != 0) {
                std::fprintf(stderr, "qorcap: --mode is record or preview: %s\n", value);
                return false;
            }
            o.record = std::strcmp(value, "record") == 0;
            ++i;
        } else if (is("-r", "--rate")) {
            if (!needsValue()) return false;
            if (!parseNumber(value, &number) || number <= 0.0 || number > 30000.0) {
                std::fprintf(stderr, "qorcap: --rate needs frames a second above 0: %s\n", value);
                return false;
            }
            o.rate = number;
            ++i;
        } else if (is("-o", "--out")) {
            if (!needsValue()) return false;
            o.outDir = value;
            ++i;
        } else if (is(nullptr, "--raw")) {
            o.raw = true;
        } else if (is(nullptr, "--no-png")) {
            o.png = false;
        } else if (is(nullptr, "--sim")) {
            o.backend = qor::usb::BackendKind::Simulated;
        } else if (is(nullptr, "--backend")) {
            if (!needsValue()) return false;
            std::optional<qor::usb::BackendKind> kind = qor::usb::parseBackendKind(value);
            if (!kind) {
                std::fprintf(stderr, "qorcap: --backend is usb, sim or auto: %s\n", value);
                return false;
            }
            o.backend = *kind;
            ++i;
        } else if (is(nullptr, "--sim-model")) {
            if (!needsValue()) return false;
            std::vector<uint16_t> models;
            std::string error;
            if (!qor::usb::parseSimulatedModels(value, models, error)) {
                std::fprintf(stderr, "qorcap: --sim-model: %s\n", error.c_str());
                return false;
            }
            o.simModels.insert(o.simModels.end(), models.begin(), models.end());
            ++i;
        } else if (is(nullptr, "--save") || is(nullptr, "--load")) {
            if (!needsValue()) return false;
            (arg == "--save" ? o.saveTo : o.loadFrom) = value;
            ++i;
        } else if (is(nullptr, "--set")) {
            if (!needsValue()) return false;
            if (!addSetting(value, o)) return false;
            ++i;
        } else if (arg == "list" || arg == "capture" || arg == "show") {
            o.command = arg;
        } else if (arg.find('=') != std::string::npos && arg[0] != '-') {
            if (!addSetting(arg, o)) return false;
        } else {
            std::fprintf(stderr, "qorcap: unknown %s %s\n", arg[0] == '-' ? "option" : "command",
                         arg.c_str());
            return false;
        }
    }
    const char *named = std::getenv("QORVANTA_SIM_MODELS");
    if (o.simModels.empty() && !(named && *named)) o.simModels.push_back(kDefaultSimModel);
    return true;
}

// What the capture loop and the data procedure share.
struct Capture {
    FrameWriter *writer = nullptr;
    FrameFormat format;
    // One idle may hand over several queued frames; those beyond the count asked for are
    // given back to the driver unwritten.
    uint64_t wanted = UINT64_MAX;
    uint64_t delivered = 0;
    Clock::time_point first{}, last{};
};

OSErr onFrame(SGChannel, Ptr p, long len, long *, long, TimeValue, short, long refCon) {
    auto &capture = *reinterpret_cast<Capture *>(refCon);
    if (capture.delivered >= capture.wanted) return noErr;
    const Clock::time_point now = Clock::now();
    if (capture.delivered == 0) capture.first = now;
    capture.last = now;
    ++capture.delivered;
    capture.writer->add(reinterpret_cast<const uint8_t *>(p), size_t(len), capture.format);
    return noErr;
}

// The driver's own count of frames it could not deliver, read through the digitizer's hook.
struct DriverCounts {
    uint32_t overwritten = 0, lostInTransfer = 0, unrequested = 0;
};

DriverCounts driverCounts(ComponentInstance vdig) {
    Handle camera = nullptr;
    DriverCounts counts;
    if (QORVANTAHook(vdig, &camera) != noErr) return counts;
    if (CameraRecord *r = cameraRecord(camera)) {
        counts.overwritten = atomicField(r->framesOverwritten).load();
        counts.lostInTransfer = atomicField(r->framesLostInTransfer).load();
        counts.unrequested = atomicField(r->framesUnrequested).load();
    }
    return counts;
}

PixelLayout layoutOf(ComponentInstance vdig, int16_t depth) {
    if (depth != 32) return PixelLayout::Grey;
    Handle camera = nullptr;
    if (QORVANTAHook(vdig, &camera) == noErr)
        if (CameraRecord *r = cameraRecord(camera))
            return r->outputFormat == 1 ? PixelLayout::ARGB : PixelLayout::BGRA;
    return PixelLayout::ARGB;
}

std::string errorText(ComponentResult error) {
    char text[64];
    std::snprintf(text, sizeof text, "error %d (0x%08X)", int(error), uint32_t(error));
    return text;
}

// Every camera on the bus, with how far it came up and where it is; the registered ones also
// with what their digitizer reports.
int list(qor::apps::CameraSetup &setup) {
    qor::apps::describeCameras(setup);
    const std::vector<qor::usb::AttachedCamera> attached = qor::usb::attachedCameras();
    if (attached.empty()) {
        std::printf("no cameras\n");
        return kNoCamera;
    }
    for (const qor::usb::AttachedCamera &a : attached) {
        const std::string where = qor::usb::busAndPort(a.locationID) + ", " +
                                  (a.simulated ? "simulated" : "real");
        const CameraEntry *c = nullptr;
        for (const CameraEntry &entry : setup.cameras)
            if (!a.name.empty() && entry.name == a.name) c = &entry;
        if (c)
            std::printf("%s  model %04X, %u x %u %s, %s%s  [%s, %s]\n", c->name.c_str(),
                        c->productID, c->width, c->height, c->sensor.c_str(),
                        c->colour ? "colour" : "mono", c->cooled ? ", cooled" : "",
                        qor::usb::bringUpStateName(a.state), where.c_str());
        else
            std::printf("(not ready)  model %04X  [%s, %s]\n", a.productID,
                        qor::usb::bringUpStateName(a.state), where.c_str());
    }
    return setup.cameras.empty() ? kNoCamera : kOk;
}

// The settings asked for, through the camera's settings page: restored from a file, set one by
// one, shown, saved.
int configure(const Options &o, SeqGrabComponent grabber, SGChannel channel) {
    if (!o.loadFrom.empty()) {
        if (std::string error = qor::apps::loadSettings(grabber, channel, o.loadFrom);
            !error.empty()) {
            std::fprintf(stderr, "qorcap: %s\n", error.c_str());
            return kUsage;
        }
    }
    if (!o.settings.empty() || o.command == "show") {
        qor::platform::SettingsDialog *dialog = nullptr;
        ComponentResult error = qor::platform::SettingsDialog::open(grabber, channel, &dialog);
        if (!error) error = dialog->showPage(0);
        if (error) {
            delete dialog;
            std::fprintf(stderr, "qorcap: the camera's settings page did not open: %s\n",
                         errorText(error).c_str());
            return kCaptureFailed;
        }
        std::string problem = qor::apps::applySettings(*dialog, grabber, o.settings);
        if (problem.empty() && o.command == "show")
            std::fputs(qor::apps::describePage(*dialog).c_str(), stdout);
        delete dialog;
        if (!problem.empty()) {
            std::fprintf(stderr, "qorcap: %s\n", problem.c_str());
            return kUsage;
        }
    }
    if (!o.saveTo.empty()) {
        if (std::string error = qor::apps::saveSettings(grabber, channel, o.saveTo);
            !error.empty()) {
            std::fprintf(stderr, "qorcap: %s\n", error.c_str());
            return kWriteFailed;
        }
        std::printf("settings saved to %s\n", o.saveTo.c_str());
    }
    return kOk;
}

int capture(const Options &o, const CameraEntry *camera, SeqGrabComponent grabber,
            SGChannel channel);

int run(const Options &o, qor::apps::CameraSetup &setup) {
    if (o.command == "list") return list(setup);
    const CameraEntry *camera = nullptr;
    for (const CameraEntry &c : setup.cameras)
        if (o.camera.empty() || c.name == o.camera) {
            camera = &c;
            break;
        }
    if (!camera) {
        std::fprintf(stderr, "qorcap: no camera named \"%s\"; `qorcap list` shows the cameras\n",
                     o.camera.c_str());
        return kNoCamera;
    }
    SeqGrabComponent grabber = OpenDefaultSequenceGrabber();
    if (!grabber) {
        std::fprintf(stderr, "qorcap: out of memory\n");
        return kCaptureFailed;
    }
    SGChannel channel = nullptr;
    Str255 name;
    CopyCStringToPascal(camera->name.c_str(), name);
    ComponentResult error = SGInitialize(grabber);
    if (!error) error = SGNewChannel(grabber, VideoMediaType, &channel);
    if (!error) error = SGSetChannelDevice(channel, name);
    int result = kOk;
    if (error) {
        std::fprintf(stderr, "qorcap: cannot open %s: %s\n", camera->name.c_str(),
                     errorText(error).c_str());
        result = kCaptureFailed;
    }
    if (result == kOk) result = configure(o, grabber, channel);
    if (result == kOk && o.command == "capture") result = capture(o, camera, grabber, channel);
    CloseSequenceGrabber(grabber);
    return result;
}

int capture(const Options &o, const CameraEntry *camera, SeqGrabComponent grabber,
            SGChannel channel) {
    std::error_code ec;
    std::filesystem::create_directories(o.outDir, ec);
    if (ec) {
        std::fprintf(stderr, "qorcap: cannot create %s: %s\n", o.outDir.c_str(),
                     ec.message().c_str());
        return kWriteFailed;
    }
    FrameWriter writer(o.outDir, o.png, o.raw);
    Capture state;
    state.writer = &writer;
    if (o.seconds <= 0) state.wanted = o.frames;
    ComponentResult error = SGSetDataProc(grabber, onFrame, reinterpret_cast<long>(&state));
    if (!error) error = SGSetChannelUsage(channel, o.record ? seqGrabRecord : seqGrabPreview);
    if (!error) error = SGSetFrameRate(channel, Fixed(o.rate * 65536.0));
    if (!error) error = o.record ? SGStartRecord(grabber) : SGStartPreview(grabber);
    if (error) {
        std::fprintf(stderr, "qorcap: cannot start capturing from %s: %s\n", camera->name.c_str(),
                     errorText(error).c_str());
        return kCaptureFailed;
    }

    ComponentInstance vdig = SGGetVideoDigitizerComponent(channel);
    auto desc = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
    SGGetChannelSampleDescription(channel, reinterpret_cast<Handle>(desc));
    const int16_t depth = (*desc)->depth;
    state.format.width = uint32_t((*desc)->width);
    state.format.height = uint32_t((*desc)->height);
    state.format.rowBytes =
        state.format.height ? uint32_t((*desc)->dataSize) / state.format.height : 0;
    state.format.layout = layoutOf(vdig, depth);
    DisposeHandle(reinterpret_cast<Handle>(desc));
    long msPerFrame = 0, bytesPerSecond = 0;
    Fixed fps = 0;
    VDGetDataRate(vdig, &msPerFrame, &fps, &bytesPerSecond);
    std::printf("camera   %s (model %04X%s)\n", camera->name.c_str(), camera->productID,
                camera->simulated ? ", simulated" : "");
    std::printf("frames   %u x %u, %s, %.1f frames/s from the camera (%.1f MB/s)\n",
                state.format.width, state.format.height, depth == 32 ? "colour" : "grey",
                fps / 65536.0, bytesPerSecond / 1048576.0);
    if (o.seconds > 0)
        std::printf("capture  %s for %.1f s into %s\n", o.record ? "record" : "preview", o.seconds,
                    o.outDir.c_str());
    else
        std::printf("capture  %s %llu frames into %s\n", o.record ? "record" : "preview",
                    static_cast<unsigned long long>(o.frames), o.outDir.c_str());
    std::fflush(stdout);

    const DriverCounts before = driverCounts(vdig);
    const Clock::time_point start = Clock::now();
    const auto limit = std::chrono::duration<double>(o.seconds);
    // Frames must come within this long of the start or of each other.
    const auto stall = std::chrono::seconds(5) + std::chrono::milliseconds(2 * msPerFrame);
    int result = kOk;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (o.seconds > 0 ? now - start >= limit : state.delivered >= o.frames) break;
        const uint64_t seen = state.delivered;
        error = SGIdle(grabber);
        if (error == ComponentResult(kIOReturnNoDevice)) {
            std::fprintf(stderr, "qorcap: the camera was unplugged after %llu frames\n",
                         static_cast<unsigned long long>(state.delivered));
            result = kCameraLost;
            break;
        }
        if (error) {
            std::fprintf(stderr, "qorcap: capture failed after %llu frames: %s\n",
                         static_cast<unsigned long long>(state.delivered),
                         errorText(error).c_str());
            result = kCaptureFailed;
            break;
        }
        if (state.delivered == seen) {
            const Clock::time_point since = state.delivered ? state.last : start;
            if (Clock::now() - since > stall) {
                std::fprintf(
                    stderr, "qorcap: no frame from the camera for %lld s; giving up\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since)
                            .count()));
                result = kCaptureFailed;
                break;
            }
            // Waits a little, and lets removal and power notifications through meanwhile.
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.001, true);
        }
    }
    const DriverCounts after = driverCounts(vdig);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    SGStop(grabber);
    SGSetDataProc(grabber, nullptr, 0);
    const std::string writeError = writer.finish();

    // Frames held back to keep to a requested rate are overwritten in the driver's ring as a
    // matter of course: they are passed over, not lost.
    const uint32_t overwritten = after.overwritten - before.overwritten;
    const uint32_t lostInTransfer = after.lostInTransfer - before.lostInTransfer;
    const bool throttled = o.rate > 0;
    const uint64_t dropped = uint64_t(lostInTransfer) + (throttled ? 0 : overwritten);
    const double span = std::chrono::duration<double>(state.last - state.first).count();
    const double effective = state.delivered > 1 && span > 0 ? (state.delivered - 1) / span : 0.0;
    std::printf("summary  %llu frames delivered in %.2f s, %.1f frames/s\n",
                static_cast<unsigned long long>(state.delivered), elapsed, effective);
    if (throttled)
        std::printf("         %llu frames dropped (lost in transfer); %u passed over to keep to "
                    "%.1f frames/s\n",
                    static_cast<unsigned long long>(dropped), overwritten, o.rate);
    else
        std::printf("         %llu frames dropped (%u overwritten before the program took them, "
                    "%u lost in transfer)\n",
                    static_cast<unsigned long long>(dropped), overwritten, lostInTransfer);
    if (after.unrequested != before.unrequested)
        std::printf("         %u frames arrived while the program was not asking for one\n",
                    after.unrequested - before.unrequested);
    std::printf("         %llu frames written to %s\n",
                static_cast<unsigned long long>(writer.written()), o.outDir.c_str());
    if (!writeError.empty()) {
        std::fprintf(stderr, "qorcap: %s\n", writeError.c_str());
        if (result == kOk) result = kWriteFailed;
    }
    return result;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        usage(stderr);
        return kUsage;
    }
    qor::apps::CameraSetup setup =
        qor::apps::setUpCameras({options.backend, options.simModels});
    int result = kNoCamera;
    if (setup.cameras.empty())
        std::fprintf(stderr, "qorcap: %s\n", setup.error.c_str());
    if (!setup.cameras.empty() || (options.command == "list" && setup.backends.error.empty()))
        result = run(options, setup);
    qor::apps::tearDownCameras();
    return result;
}
