// Requests that describe the digitizer and the camera behind it: can-do, version, register,
// the settings page's hook, unique IDs and the device name.

#include "vdig/vdig.h"

#include "platform/misc.h"
#include "usb/camera_record.h"

#include <qorvanta/status.h>
#include <qorvanta/vdig.h>

#include <algorithm>
#include <iterator>

namespace {

// Selectors can-do answers 1 for, as inclusive ranges. 90 (set preferred image dimensions) is
// announced although the entry point does not implement it; clients rely on the announcement.
struct SelectorRange {
    int32_t first, last;
};
constexpr SelectorRange kImplementedSelectors[] = {
    {-5, -1}, {1, 4},   {25, 26}, {50, 50}, {60, 64},
    {68, 78}, {81, 81}, {90, 92}, {94, 97}, {kVDQorvantaHookSelect, kVDQorvantaHookSelect},
};

// The 64-bit ID the digitizer reports both as its device ID and its input ID.
UInt64 uniqueID(const CameraRecord &record) {
    return UInt64(uint32_t(record.vendorID) << 16 | record.productID) << 32 | record.locationID;
}

} // namespace

namespace qor::vdig {

ComponentResult commonGuard(Handle storage) {
    CameraRecord *record = cameraRecord(storage);
    if (!record) return badCallOrderErr;
    if (atomicField(record->cameraRemoved).load() == 1) return kIOReturnNoDevice;
    return noErr;
}

} // namespace qor::vdig

ComponentResult vdigCanDo(Handle storage, int32_t selector) {
    if (selector == kVDGetTimeCodeSelect) {
        CameraRecord *record = cameraRecord(storage);
        return record ? record->timeCodeSupported : 0;
    }
    return std::any_of(
               std::begin(kImplementedSelectors), std::end(kImplementedSelectors),
               [selector](SelectorRange r) { return selector >= r.first && selector <= r.last; })
               ? 1
               : 0;
}

ComponentResult vdigVersion(Handle) {
    return kVdigInterfaceVersion;
}

ComponentResult vdigRegister(Handle storage) {
    return storage ? 1 : 0;
}

ComponentResult vdigQorvantaHook(Handle storage, Handle *cameraHandle) {
    if (ComponentResult err = qor::vdig::commonGuard(storage)) return err;
    if (!cameraHandle) return qtParamErr;
    *cameraHandle = storage;
    return noErr;
}

ComponentResult vdigGetUniqueIDs(Handle storage, UInt64 *outDeviceID, UInt64 *outInputID) {
    if (ComponentResult err = qor::vdig::commonGuard(storage)) return err;
    UInt64 id = uniqueID(*cameraRecord(storage));
    if (outDeviceID) *outDeviceID = id;
    if (outInputID) *outInputID = id;
    return noErr;
}

ComponentResult vdigSelectUniqueIDs(Handle storage, const UInt64 *inDeviceID,
                                    const UInt64 * /*inInputID*/) {
    if (ComponentResult err = qor::vdig::commonGuard(storage)) return err;
    if (!inDeviceID) return noErr;
    return *inDeviceID == uniqueID(*cameraRecord(storage)) ? noErr : qtUnknownUniqueIDErr;
}

ComponentResult vdigGetDeviceNameAndFlags(Handle storage, StringPtr outName,
                                          uint32_t *outNameFlags) {
    if (ComponentResult err = qor::vdig::commonGuard(storage)) return err;
    CameraRecord *record = cameraRecord(storage);
    if (outName) {
        // The name field is always terminated within its size, even if a writer forgot.
        char name[kCameraNameSize];
        std::copy(std::begin(record->cameraName), std::end(record->cameraName), name);
        name[kCameraNameSize - 1] = '\0';
        CopyCStringToPascal(name, outName);
    }
    if (outNameFlags) *outNameFlags = vdDeviceFlagShowInputsAsDevices;
    return noErr;
}

extern "C" ComponentResult QORVANTAHook(ComponentInstance vdig, Handle *cameraHandle) {
    // One pointer parameter: flags 0, parameter size 4, selector 0x2B8.
    return qor::platform::callComponent(vdig, kVDQorvantaHookSelect, cameraHandle);
}

namespace qor::vdig {

uint8_t timeCodeSupportedByQuickTime() {
    long version = 0;
    if (Gestalt(gestaltQuickTime, &version) != noErr) return 0;
    uint32_t majorMinor = uint32_t(version) >> 16;
    return majorMinor >= 0x0602 && majorMinor <= 0x065F ? 0 : 1;
}

} // namespace qor::vdig
