#include "cameras.h"

#include "panel/panel.h"
#include "platform/memory.h"
#include "platform/resources.h"
#include "sim/sim.h"
#include "usb/camera_record.h"
#include "usb/registration.h"
#include "vdig/vdig.h"

#include <qorvanta/vdig.h>

namespace qor::apps {

namespace {

int16_t gPanelResources = 0;

ComponentDescription digitizers() {
    return {videoDigitizerComponentType, kQorvantaVdigSubType, kQorvantaManufacturer, 0, 0};
}

std::string componentName(Component c) {
    std::string name;
    platform::componentName(c, &name);
    return name;
}

const char *mosaicName(uint32_t pattern) {
    static const char *const names[] = {"monochrome", "RGGB", "GRBG", "GBRG", "BGGR"};
    return pattern < 5 ? names[pattern] : "unknown mosaic";
}

} // namespace

CameraSetup setUpCameras(const usb::BackendChoice &choice) {
    CameraSetup setup;
    setup.backends = usb::setUpBackends(choice);
    if (!setup.backends.error.empty()) {
        setup.error = setup.backends.error;
        return setup;
    }
    const std::string path = platform::bundleResourcePath(platform::kPanelResourceFile);
    gPanelResources = platform::openResourceFile(path);
    if (gPanelResources <= 0) {
        setup.error = "cannot read the settings panel's resources in " + path;
        gPanelResources = 0;
        return setup;
    }
    // The panel's register request runs the loader; it registers the panel only when a camera
    // came up.
    if (RegisterComponentResourceFile(gPanelResources, 0) <= 0) {
        setup.error = "no camera came up";
        return setup;
    }
    const std::vector<usb::AttachedCamera> attached = usb::attachedCameras();
    ComponentDescription looking = digitizers();
    for (Component c = FindNextComponent(nullptr, &looking); c;
         c = FindNextComponent(c, &looking)) {
        CameraEntry entry;
        entry.name = componentName(c);
        if (auto *info = reinterpret_cast<CameraComponentInfo *>(GetComponentRefcon(c))) {
            entry.productID = info->productID;
            entry.locationID = info->locationID;
        }
        for (const usb::AttachedCamera &camera : attached)
            if (camera.name == entry.name) entry.simulated = camera.simulated;
        setup.cameras.push_back(entry);
    }
    return setup;
}

void describeCameras(CameraSetup &setup) {
    ComponentDescription looking = digitizers();
    for (CameraEntry &entry : setup.cameras) {
        for (Component c = FindNextComponent(nullptr, &looking); c;
             c = FindNextComponent(c, &looking)) {
            if (componentName(c) != entry.name) continue;
            ComponentInstance vdig = nullptr;
            if (OpenAComponent(c, &vdig) != noErr) break;
            Handle camera = nullptr;
            if (QORVANTAHook(vdig, &camera) == noErr) {
                if (const CameraRecord *r = cameraRecord(camera)) {
                    entry.width = r->maxWidth;
                    entry.height = r->maxHeight;
                    entry.colour = r->colorSensor == 1;
                    entry.cooled = r->coolingSupported == 1;
                    entry.sensor = mosaicName(r->bayerPattern);
                }
            }
            CloseComponent(vdig);
            break;
        }
    }
}

void tearDownCameras() {
    ComponentDescription panels{kPanelComponentType, kPanelComponentSubType, 0, 0, 0};
    while (Component c = FindNextComponent(nullptr, &panels))
        if (UnregisterComponent(c) != noErr) break;
    usb::unregisterCameraDigitizers();
    if (gPanelResources > 0) CloseResFile(gPanelResources);
    gPanelResources = 0;
    sim::detachAllCameras();
}

} // namespace qor::apps
