// The session's texts: status codes by name, the settings' help, the library's version.
#include "capture/session.h"

#include "platform/seqgrab.h"

#include <qorvanta/status.h>

#include <cstdio>

namespace qor::capture {

namespace {

struct StatusName {
    int32_t status;
    const char *name;
};

constexpr StatusName kStatusNames[] = {
    {paramErr, "paramErr"},
    {memFullErr, "memFullErr"},
    {fnfErr, "fnfErr"},
    {badComponentType, "badComponentType"},
    {qtParamErr, "qtParamErr"},
    {digiUnimpErr, "digiUnimpErr"},
    {notExactSizeErr, "notExactSizeErr"},
    {badDepthErr, "badDepthErr"},
    {badCallOrderErr, "badCallOrderErr"},
    {noCodecErr, "noCodecErr"},
    {badComponentSelector, "badComponentSelector"},
    {noDeviceForChannel, "noDeviceForChannel"},
    {cantDoThatInCurrentMode, "cantDoThatInCurrentMode"},
    {kIOReturnError, "kIOReturnError"},
    {kIOReturnNoMemory, "kIOReturnNoMemory"},
    {kIOReturnBadArgument, "kIOReturnBadArgument"},
    {kIOReturnNoDevice, "kIOReturnNoDevice"},
    {kIOReturnExclusiveAccess, "kIOReturnExclusiveAccess"},
    {kIOReturnTimeout, "kIOReturnTimeout"},
    {kIOReturnNotResponding, "kIOReturnNotResponding"},
    {kIOReturnOverrun, "kIOReturnOverrun"},
    {kIOReturnUnderrun, "kIOReturnUnderrun"},
    {kIOReturnAborted, "kIOReturnAborted"},
    {kIOReturnNotOpen, "kIOReturnNotOpen"},
    {kIOUSBPipeStalled, "kIOUSBPipeStalled"},
    {kIOUSBTransactionTimeout, "kIOUSBTransactionTimeout"},
};

} // namespace

std::string statusText(int32_t status) {
    char text[96];
    std::snprintf(text, sizeof text, "error %d (0x%08X)", int(status), uint32_t(status));
    std::string result = text;
    for (const StatusName &s : kStatusNames)
        if (s.status == status) result += std::string(" ") + s.name;
    return result;
}

const char *driverVersion() {
    return QORVANTA_VERSION;
}

const char *settingsHelp() {
    return "settings (NAME=VALUE, set through the camera's settings page in this order):\n"
           "  size=WxH | WxH-sub | full    image size from the camera's size list (-sub: "
           "subsampled)\n"
           "  slow-frames=on|off           allow frame periods above half a second\n"
           "  rounding=120|100|none        exposure steps of 1/120 s, 1/100 s, or none\n"
           "  auto-exposure=on|off         automatic exposure\n"
           "  exposure=MS                  exposure in milliseconds\n"
           "  gain=X red=X green=X blue=X  gains as the settings page shows them, in steps of\n"
           "                               0.00025 within the camera's range (for example 0 to\n"
           "                               0.016, or 0.004 to 0.256); a value outside it is\n"
           "                               refused with the range\n"
           "  contrast=N brightness=N      tone curve, -100 to 100\n"
           "  gamma=X                      tone curve, 0 to 4\n"
           "  decode=block|interpolated    demosaic method\n"
           "  matrix=none|1..5             colour-correction matrix\n"
           "  hue=DEG saturation=N         matrix adjustments, -180 to 180 and -128 to 128\n"
           "  flip-h=on|off flip-v=on|off  mirror left-right, top-bottom\n"
           "  mark=on|off                  show saturated pixels in red\n"
           "  cooling=on|off               sensor cooling to -15 C\n"
           "  balance=auto                 run the automatic colour balance once\n";
}

} // namespace qor::capture
