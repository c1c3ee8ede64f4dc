// Saved camera settings, as the capture tool loads a settings file: the bytes handed to the
// settings page of a simulated colour camera through the grabber, then saved back.
#include "platform/components.h"
#include "platform/memory.h"
#include "platform/misc.h"
#include "platform/resources.h"
#include "platform/seqgrab.h"
#include "platform/userdata.h"
#include "sim/sim.h"
#include "usb/registration.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr uint16_t kModel = 0x01A8;
constexpr OSType kSettingsType = fourCharCode("QORN");

std::shared_ptr<qor::sim::SimCamera> gCamera;
SeqGrabComponent gGrabber = nullptr;
SGChannel gChannel = nullptr;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_settings_block: %s\n", what);
    std::abort();
}

// Closes what the set-up opened, so that the leak check at exit sees only what inputs leaked.
void tearDown() {
    if (gGrabber) CloseSequenceGrabber(gGrabber);
    gGrabber = nullptr;
    qor::usb::unregisterCameraDigitizers();
    qor::sim::detachAllCameras();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("QORVANTA_BUNDLE", QORVANTA_SOURCE_DIR "/resources", 0);
    qor::sim::CameraOptions options;
    options.productID = kModel;
    options.firmwareLoaded = true;
    options.fpgaConfigured = true;
    gCamera = qor::sim::attachCamera(options);

    // Registering the panel runs the loader, which registers the camera's digitizer.
    int16_t resFile = qor::platform::openResourceFile(
        qor::platform::bundleResourcePath(qor::platform::kPanelResourceFile));
    if (resFile <= 0 || RegisterComponentResourceFile(resFile, 0) != 1)
        fail("the settings panel did not register");
    gGrabber = OpenDefaultSequenceGrabber();
    if (!gGrabber || SGNewChannel(gGrabber, VideoMediaType, &gChannel) != noErr)
        fail("no video channel");
    const std::string name = gCamera->model().productName + std::string("-") + gCamera->serial();
    Str255 pascal;
    CopyCStringToPascal(name.c_str(), pascal);
    if (SGSetChannelDevice(gChannel, pascal) != noErr) fail("the camera's digitizer is missing");
    std::atexit(tearDown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Handle block = NewHandle(Size(size));
    if (!block) return 0;
    if (size) std::memcpy(*block, data, size);
    UserData settings = nullptr;
    if (NewUserData(&settings) == noErr && AddUserData(settings, block, kSettingsType) == noErr)
        SGSetChannelSettings(gGrabber, gChannel, settings, 0);
    if (settings) DisposeUserData(settings);
    DisposeHandle(block);

    // What was applied is read back as a saved block again.
    UserData saved = nullptr;
    if (SGGetChannelSettings(gGrabber, gChannel, &saved, 0) == noErr && saved)
        DisposeUserData(saved);
    gCamera->clearTransferLog();
    return 0;
}
