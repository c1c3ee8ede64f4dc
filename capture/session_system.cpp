// Bringing the cameras up the way the platform does: registering the settings panel from the
// bundle's resource file runs the driver's loader, which programs every camera on the bus and
// registers a digitizer for each. Each registered camera is opened once, briefly, to read what
// a listing shows; a capture opens one through a sequence grabber channel.
#include "capture/session_internal.h"

#include "panel/panel.h"
#include "platform/memory.h"
#include "platform/misc.h"
#include "platform/resources.h"
#include "sim/sim.h"
#include "usb/registration.h"
#include "usb/transport.h"
#include "vdig/vdig.h"

#include <qorvanta/status.h>
#include <qorvanta/vdig.h>

#include <atomic>

namespace qor::capture {

namespace {

// One System at a time: the components it registers are the process's.
std::atomic<bool> gSystemUp{false};

ComponentDescription digitizers() {
    return {videoDigitizerComponentType, kQorvantaVdigSubType, kQorvantaManufacturer, 0, 0};
}

std::string componentName(Component c) {
    std::string name;
    platform::componentName(c, &name);
    return name;
}

const char *sensorName(uint32_t pattern) {
    static const char *const kNames[] = {"monochrome", "RGGB", "GRBG", "GBRG", "BGGR"};
    return pattern < 5 ? kNames[pattern] : "unknown mosaic";
}

// The serial string the camera's device descriptor names, read from the device.
std::string serialOf(const CameraRecord &r) {
    IOUSBDeviceInterface187 **device = r.deviceInterface;
    if (!device) return {};
    uint8_t index = 0;
    (*device)->USBGetSerialNumberStringIndex(device, &index);
    char serial[128] = {};
    if (index == 0 || myGetStringDescriptor(device, index, serial, sizeof serial, 0) != 0)
        return {};
    return serial;
}

// What the digitizer of a registered camera reports, from its camera record.
void describe(Component c, CameraInfo &info) {
    ComponentInstance vdig = nullptr;
    if (OpenAComponent(c, &vdig) != noErr) return;
    Handle camera = nullptr;
    if (QORVANTAHook(vdig, &camera) == noErr) {
        if (const CameraRecord *r = cameraRecord(camera)) {
            info.serial = serialOf(*r);
            info.width = r->maxWidth;
            info.height = r->maxHeight;
            info.colour = r->colorSensor == 1;
            info.cooled = r->coolingSupported == 1;
            info.sensor = sensorName(r->bayerPattern);
            info.mosaic = r->bayerPattern < 5 ? MosaicPhase(r->bayerPattern) : MosaicPhase::None;
        }
    }
    CloseComponent(vdig);
}

std::string cameraList(const std::vector<CameraInfo> &cameras) {
    if (cameras.empty()) return "there is no camera";
    std::string list = "the cameras are";
    for (const CameraInfo &c : cameras)
        list += (c.index == 0 ? " " : ", ") + std::to_string(c.index) + ": " + c.name +
                (c.serial.empty() ? "" : " (serial " + c.serial + ")");
    return list;
}

bool isIndex(const std::string &text) {
    return !text.empty() && text.size() < 10 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

System::System() : state_(std::make_unique<State>()) {}

std::unique_ptr<System> System::bringUp(const usb::BackendChoice &choice, std::string *error) {
    if (gSystemUp.exchange(true)) {
        *error = "the system is already up in this process";
        return nullptr;
    }
    std::unique_ptr<System> system(new System);
    State &s = *system->state_;
    s.backends = usb::setUpBackends(choice);
    if (!s.backends.error.empty()) {
        *error = s.backends.error;
        return nullptr; // the destructor lets the next bring-up try again
    }
    const std::string path = platform::bundleResourcePath(platform::kPanelResourceFile);
    s.panelResources = platform::openResourceFile(path);
    if (s.panelResources <= 0) {
        s.panelResources = 0;
        s.error = "cannot read the settings panel's resources in " + path;
        return system;
    }
    // The panel's register request runs the loader; it registers the panel only when a camera
    // came up.
    if (RegisterComponentResourceFile(s.panelResources, 0) <= 0) {
        s.error = "no camera came up";
        return system;
    }
    const std::vector<usb::AttachedCamera> attached = usb::attachedCameras();
    ComponentDescription looking = digitizers();
    for (Component c = FindNextComponent(nullptr, &looking); c;
         c = FindNextComponent(c, &looking)) {
        CameraInfo info;
        info.index = s.cameras.size();
        info.name = componentName(c);
        if (auto *registered = reinterpret_cast<CameraComponentInfo *>(GetComponentRefcon(c))) {
            info.productID = registered->productID;
            info.locationID = registered->locationID;
        }
        for (const usb::AttachedCamera &camera : attached)
            if (camera.name == info.name) info.simulated = camera.simulated;
        info.where = usb::busAndPort(info.locationID);
        describe(c, info);
        s.cameras.push_back(std::move(info));
    }
    if (s.cameras.empty()) s.error = "no camera came up";
    return system;
}

System::~System() {
    ComponentDescription panels{kPanelComponentType, kPanelComponentSubType, 0, 0, 0};
    while (Component c = FindNextComponent(nullptr, &panels))
        if (UnregisterComponent(c) != noErr) break;
    usb::unregisterCameraDigitizers();
    if (state_->panelResources > 0) CloseResFile(state_->panelResources);
    state_->panelResources = 0;
    sim::detachAllCameras();
    gSystemUp.store(false);
}

const std::vector<CameraInfo> &System::cameras() const {
    return state_->cameras;
}

std::vector<usb::AttachedCamera> System::bus() const {
    return usb::attachedCameras();
}

const std::string &System::error() const {
    return state_->error;
}

const usb::BackendSetup &System::backends() const {
    return state_->backends;
}

std::unique_ptr<Camera> System::open(const std::string &which, std::string *error) {
    const std::vector<CameraInfo> &cameras = state_->cameras;
    const CameraInfo *chosen = nullptr;
    if (which.empty() && !cameras.empty()) chosen = &cameras.front();
    for (const CameraInfo &c : cameras)
        if (!chosen && (c.name == which || (!c.serial.empty() && c.serial == which))) chosen = &c;
    if (!chosen && isIndex(which)) {
        const unsigned long index = std::stoul(which);
        if (index < cameras.size()) chosen = &cameras[index];
    }
    if (!chosen) {
        *error =
            (which.empty() ? std::string("no camera to open")
                           : "no camera named, numbered or with the serial \"" + which + "\"") +
            "; " + cameraList(cameras);
        return nullptr;
    }

    std::unique_ptr<Camera> camera(new Camera);
    Camera::State &c = *camera->state_;
    c.info = *chosen;
    c.grabber = OpenDefaultSequenceGrabber();
    if (!c.grabber) {
        *error = "out of memory";
        return nullptr;
    }
    Str255 name;
    CopyCStringToPascal(chosen->name.c_str(), name);
    ComponentResult result = SGInitialize(c.grabber);
    if (!result) result = SGNewChannel(c.grabber, VideoMediaType, &c.channel);
    if (!result) result = SGSetChannelDevice(c.channel, name);
    if (result) {
        *error = "cannot open " + chosen->name + ": " + statusText(result);
        return nullptr; // the camera's destructor closes the grabber
    }
    c.settings = readFrameSettings(c.cameraHandle());
    return camera;
}

} // namespace qor::capture
