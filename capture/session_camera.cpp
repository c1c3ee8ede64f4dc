// A camera opened through a sequence grabber channel: its settings through the settings page,
// and captures whose frames the data procedure copies once, out of the digitizer's ring, into
// frames stamped with their metadata. Everything here runs on the thread that owns the camera;
// the driver's loss counters, which the streaming thread writes, are read atomically.
#include "capture/session_internal.h"
#include "capture/settings_page.h"

#include "camera/registers.h"
#include "platform/memory.h"
#include "platform/misc.h"
#include "platform/runloop.h"
#include "platform/videodigitizer.h"

#include <qorvanta/camera.h>
#include <qorvanta/status.h>
#include <qorvanta/stream.h>
#include <qorvanta/vdig.h>

#include <algorithm>
#include <cmath>

namespace qor::capture {

namespace {

using Clock = std::chrono::steady_clock;

// The set-point the settings page gives the cooler, held to the cooler's range the way the
// camera library holds it.
constexpr double kCoolingSetPointCelsius = -15.0;

// The gain registers count 1/4000ths, as the settings page shows them.
constexpr double kGainUnits = 4000.0;

// How long poll() lets the run loop wait between looks at the digitizer.
constexpr double kIdleWaitSeconds = 0.001;

double celsius(uint32_t milliKelvin) {
    return double(milliKelvin) / 1000.0 - 273.0;
}

double gainValue(uint8_t supported, uint32_t &value) {
    return supported == 1 ? double(atomicField(value).load()) / kGainUnits : NAN;
}

double setPoint(CameraHandle camera) {
    uint32_t lowest = 0, highest = 0;
    if (QORAReadOneCameraRegister(camera, qor::camera::kRegCoolerLowest, &lowest) != 0 ||
        QORAReadOneCameraRegister(camera, qor::camera::kRegCoolerHighest, &highest) != 0)
        return NAN;
    const double low = celsius(lowest), high = celsius(highest);
    return low <= kCoolingSetPointCelsius && kCoolingSetPointCelsius <= high
               ? kCoolingSetPointCelsius
               : low;
}

PixelLayout decodedLayout(CameraRecord &r, int16_t depth) {
    if (depth != 32) return PixelLayout::Grey;
    return atomicField(r.outputFormat).load() == 1 ? PixelLayout::ARGB : PixelLayout::BGRA;
}

// The data procedure: copies the frame out of the digitizer's ring into a frame of its own,
// stamps it, and hands it over.
OSErr onFrame(SGChannel, Ptr p, long len, long *, long, TimeValue time, short, long refCon) {
    auto &c = *reinterpret_cast<CameraState *>(refCon);
    if (!c.capturing || !c.handler) return noErr;
    auto frame = std::make_shared<Frame>();
    FrameInfo &info = frame->info;
    info.utc = std::chrono::system_clock::now();
    info.sequence = c.delivered;
    info.digitizerSeconds = c.timeScale > 0 ? double(time) / double(c.timeScale) : 0.0;
    info.geometry = c.format.geometry;
    info.layout = c.format.layout;
    info.mosaic = c.format.mosaic;
    info.settings = c.settings;
    const size_t bytes = size_t(info.geometry.rowBytes) * info.geometry.height;
    if (len < 0 || size_t(len) < bytes) return noErr; // not a whole frame of this format
    frame->pixels.assign(reinterpret_cast<const uint8_t *>(p),
                         reinterpret_cast<const uint8_t *>(p) + bytes);
    ++c.delivered;
    c.handler(std::move(frame));
    return noErr;
}

} // namespace

FrameSettings readFrameSettings(CameraHandle camera) {
    FrameSettings s;
    CameraRecord *r = cameraRecord(camera);
    if (!r) return s;
    s.exposureMs = r->exposureSupported == 1 ? double(atomicField(r->exposure).load()) / 1000.0 : 0;
    s.gain = gainValue(r->gainSupported, r->gain);
    if (r->colorSensor == 1) {
        s.redGain = gainValue(r->redGainSupported, r->redGain);
        s.greenGain = r->green1GainSupported == 1
                          ? gainValue(1, r->green1Gain)
                          : gainValue(r->green2GainSupported, r->green2Gain);
        s.blueGain = gainValue(r->blueGainSupported, r->blueGain);
    }
    s.flipHorizontal = atomicField(r->flipHorizontal).load() == 1;
    s.flipVertical = atomicField(r->flipVertical).load() == 1;
    s.hasCooler = r->coolingSupported == 1;
    if (s.hasCooler) {
        s.coolingOn = atomicField(r->coolingOn).load() == 1;
        // The camera reports no sensor temperature: only the set-point is known.
        s.setPointC = setPoint(camera);
    }
    return s;
}

CameraRecord *CameraState::record() const {
    return cameraRecord(cameraHandle());
}

CameraHandle CameraState::cameraHandle() const {
    ComponentInstance vdig = channel ? SGGetVideoDigitizerComponent(channel) : nullptr;
    Handle camera = nullptr;
    if (!vdig || QORVANTAHook(vdig, &camera) != noErr) return nullptr;
    return camera;
}

Camera::Camera() : state_(std::make_unique<State>()) {}

Camera::~Camera() {
    stop();
    if (state_->grabber) CloseSequenceGrabber(state_->grabber);
    state_->grabber = nullptr;
    state_->channel = nullptr;
}

const CameraInfo &Camera::info() const {
    return state_->info;
}

std::string Camera::apply(const std::vector<Setting> &settings) {
    State &c = *state_;
    platform::SettingsDialog *dialog = nullptr;
    ComponentResult error = platform::SettingsDialog::open(c.grabber, c.channel, &dialog);
    if (!error) error = dialog->showPage(0);
    std::string problem;
    if (error)
        problem = "the camera's settings page did not open: " + statusText(error);
    else
        problem = applySettings(*dialog, c.grabber, settings);
    delete dialog;
    currentSettings();
    return problem;
}

std::vector<std::pair<std::string, std::string>> Camera::readSettings(std::string *error) {
    State &c = *state_;
    platform::SettingsDialog *dialog = nullptr;
    ComponentResult result = platform::SettingsDialog::open(c.grabber, c.channel, &dialog);
    if (!result) result = dialog->showPage(0);
    std::vector<std::pair<std::string, std::string>> values;
    if (result)
        *error = "the camera's settings page did not open: " + statusText(result);
    else
        values = describePage(*dialog);
    delete dialog;
    return values;
}

std::string Camera::saveSettings(const std::string &path) {
    return capture::saveSettings(state_->grabber, state_->channel, path);
}

std::string Camera::loadSettings(const std::string &path) {
    std::string problem = capture::loadSettings(state_->grabber, state_->channel, path);
    currentSettings();
    return problem;
}

FrameSettings Camera::currentSettings() {
    state_->settings = readFrameSettings(state_->cameraHandle());
    return state_->settings;
}

int32_t Camera::start(const CaptureOptions &options, FrameHandler handler) {
    State &c = *state_;
    if (c.capturing) return cantDoThatInCurrentMode;
    if (!handler || !std::isfinite(options.rate) || options.rate < 0) return paramErr;
    CameraHandle camera = c.cameraHandle();
    CameraRecord *r = cameraRecord(camera);
    if (!r) return kIOReturnNoDevice;
    // The raw layout is the library's, asked for on this client's record only.
    if (int32_t error = QORASetRawFrameOutput(camera, options.rawMosaic ? 1 : 0)) return error;

    ComponentResult error =
        SGSetDataProc(c.grabber, onFrame, reinterpret_cast<long>(static_cast<CameraState *>(&c)));
    if (!error)
        error = SGSetChannelUsage(c.channel, options.record ? seqGrabRecord : seqGrabPreview);
    if (!error) error = SGSetFrameRate(c.channel, Fixed(options.rate * 65536.0));
    c.options = options;
    c.handler = std::move(handler);
    c.delivered = 0;
    c.ended = 0;
    c.overwrittenAtStart = atomicField(r->framesOverwritten).load();
    c.lostAtStart = atomicField(r->framesLostInTransfer).load();
    c.unrequestedAtStart = atomicField(r->framesUnrequested).load();
    c.settings = readFrameSettings(camera);
    if (!error) error = options.record ? SGStartRecord(c.grabber) : SGStartPreview(c.grabber);
    if (error) {
        SGSetDataProc(c.grabber, nullptr, 0);
        QORASetRawFrameOutput(camera, 0);
        c.handler = nullptr;
        return error;
    }

    // What the digitizer was set up to deliver.
    auto description = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
    if (description &&
        SGGetChannelSampleDescription(c.channel, reinterpret_cast<Handle>(description)) == noErr) {
        const ImageDescription &d = **description;
        StreamFormat &f = c.format;
        f = {};
        f.geometry.width = uint32_t(d.width);
        f.geometry.height = uint32_t(d.height);
        f.geometry.rowBytes = d.height > 0 ? uint32_t(d.dataSize) / uint32_t(d.height) : 0;
        f.layout = decodedLayout(*r, d.depth);
        f.mosaic = r->bayerPattern < 5 ? MosaicPhase(r->bayerPattern) : MosaicPhase::None;
        if (options.rawMosaic) {
            // The sensor's bytes, one a pixel, rows packed; grey where the readout binned the
            // mosaic away.
            f.geometry.width = r->rawWidth;
            f.geometry.height = r->rawHeight;
            f.geometry.rowBytes = r->rawWidth;
            f.layout = f.mosaic != MosaicPhase::None ? PixelLayout::Mosaic : PixelLayout::Grey;
        }
        f.geometry.originX = r->windowLeft;
        f.geometry.originY = r->windowTop;
        f.geometry.binX = std::max<uint32_t>(r->subSampleX, 1);
        f.geometry.binY = std::max<uint32_t>(r->subSampleY, 1);
    }
    if (description) DisposeHandle(reinterpret_cast<Handle>(description));
    long msPerFrame = 0, bytesPerSecond = 0;
    Fixed fps = 0;
    VDGetDataRate(SGGetVideoDigitizerComponent(c.channel), &msPerFrame, &fps, &bytesPerSecond);
    c.format.framesPerSecond = fps / 65536.0;
    c.format.bytesPerSecond = double(bytesPerSecond);
    TimeScale scale = 0;
    SGGetChannelTimeScale(c.channel, &scale);
    c.timeScale = scale > 0 ? scale : 600;
    c.capturing = true;
    return noErr;
}

StreamFormat Camera::format() const {
    return state_->format;
}

int32_t Camera::poll(double seconds) {
    State &c = *state_;
    if (!c.capturing) return c.ended ? c.ended : int32_t(cantDoThatInCurrentMode);
    const uint64_t before = c.delivered;
    const auto deadline = Clock::now() + std::chrono::duration<double>(std::max(seconds, 0.0));
    for (;;) {
        const ComponentResult error = SGIdle(c.grabber);
        if (error) {
            c.ended = int32_t(error);
            stop();
            return c.ended;
        }
        const auto now = Clock::now();
        if (c.delivered != before || now >= deadline) return noErr;
        // Waits a little, and lets removal and power notifications through meanwhile.
        const double left = std::chrono::duration<double>(deadline - now).count();
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, std::min(left, kIdleWaitSeconds), true);
    }
}

void Camera::stop() {
    State &c = *state_;
    if (!c.capturing) return;
    c.capturing = false;
    SGStop(c.grabber);
    SGSetDataProc(c.grabber, nullptr, 0);
    c.handler = nullptr;
    // The loss counters stay readable after the stop; the next client gets decoded frames.
    if (CameraHandle camera = c.cameraHandle()) QORASetRawFrameOutput(camera, 0);
}

bool Camera::capturing() const {
    return state_->capturing;
}

uint64_t Camera::delivered() const {
    return state_->delivered;
}

DropCounts Camera::drops() const {
    const State &c = *state_;
    DropCounts counts;
    CameraRecord *r = c.record();
    if (!r) return counts;
    // The counters wrap at 32 bits; the differences stay right across one wrap.
    counts.overwritten = uint32_t(atomicField(r->framesOverwritten).load() - c.overwrittenAtStart);
    counts.lostInTransfer = uint32_t(atomicField(r->framesLostInTransfer).load() - c.lostAtStart);
    counts.unrequested = uint32_t(atomicField(r->framesUnrequested).load() - c.unrequestedAtStart);
    return counts;
}

} // namespace qor::capture
