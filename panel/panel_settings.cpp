// The panel's settings as the Sequence Grabber saves them with a channel: a 114-byte block of
// big-endian fields, made from the camera record and applied back to record and camera in a
// fixed order, with grabbing paused around the change.
#include "panel/panel.h"

#include "camera/video_controls.h"

#include "platform/memory.h"
#include "usb/camera_record.h"
#include "vdig/vdig.h"

#include <qorvanta/camera.h>
#include <qorvanta/imaging.h>
#include <qorvanta/status.h>
#include <qorvanta/vdig.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace {

using qor::camera::kControlBlueGain, qor::camera::kControlExposure, qor::camera::kControlGain,
    qor::camera::kControlGreen1Gain, qor::camera::kControlGreen2Gain, qor::camera::kControlRedGain;

using namespace qor::panel;
using namespace qor::panel::settings;

constexpr double kCoolingSetPointCelsius = -15.0;

struct Block {
    uint8_t *bytes;

    void put16(size_t at, uint16_t v) const {
        bytes[at] = uint8_t(v >> 8);
        bytes[at + 1] = uint8_t(v);
    }
    void put32(size_t at, uint32_t v) const {
        for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(v >> (24 - 8 * i));
    }
    void putFloat(size_t at, float v) const { put32(at, std::bit_cast<uint32_t>(v)); }
    uint16_t get16(size_t at) const { return uint16_t(bytes[at] << 8 | bytes[at + 1]); }
    uint32_t get32(size_t at) const {
        return uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 |
               uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
    }
    float getFloat(size_t at) const { return std::bit_cast<float>(get32(at)); }
    uint8_t flag(size_t at) const { return bytes[at] != 0 ? 1 : 0; }
};

void fill(const Block &b, CameraRecord &r) {
    const bool colour = r.colorSensor == 1;
    b.put32(kVersion, kBlockVersion);
    b.put16(kWindowLeft, r.windowLeft);
    b.put16(kWindowTop, r.windowTop);
    b.put16(kWidth, uint16_t(r.subSampleX ? r.imageWidth / r.subSampleX : 0));
    b.put16(kHeight, uint16_t(r.subSampleY ? r.imageHeight / r.subSampleY : 0));
    b.put16(kSubsampling, r.subSampleX);
    b.put32(kControl0400, r.control0400Supported ? r.control0400Value : kAbsent);
    uint32_t exposure = atomicField(r.exposure).load();
    if (r.exposureAutoSupported == 1 && r.exposureAutoOn == 1) exposure = kAutomatic;
    if (r.exposureSupported == 0) exposure = kAbsent;
    b.put32(kExposure, exposure);
    b.put32(kGain, r.gainSupported ? atomicField(r.gain).load() : kAbsent);
    b.put32(kRedGain, r.redGainSupported ? atomicField(r.redGain).load() : kAbsent);
    b.put32(kGreen1Gain, r.green1GainSupported ? atomicField(r.green1Gain).load() : kAbsent);
    b.put32(kGreen2Gain, r.green2GainSupported ? atomicField(r.green2Gain).load() : kAbsent);
    b.put32(kBlueGain, r.blueGainSupported ? atomicField(r.blueGain).load() : kAbsent);
    b.put16(kMatrixIndex, colour ? atomicField(r.colorMatrixIndex).load() : 0);
    b.putFloat(kHue, colour ? r.hue : 0.0f);
    b.putFloat(kSaturation, colour ? r.saturation : 0.0f);
    const bool curve = r.toneCurveSupported == 1;
    b.putFloat(kGamma, curve ? r.gamma : 1.0f);
    b.putFloat(kBrightness, curve ? r.brightness : 0.0f);
    b.putFloat(kContrast, curve ? r.contrast : 1.0f);
    b.put16(kTargetRed, colour ? r.balanceTargetColor.red : 0xFFFF);
    b.put16(kTargetGreen, colour ? r.balanceTargetColor.green : 0xFFFF);
    b.put16(kTargetBlue, colour ? r.balanceTargetColor.blue : 0xFFFF);
    b.bytes[kFlipHorizontal] = atomicField(r.flipHorizontal).load();
    b.bytes[kFlipVertical] = atomicField(r.flipVertical).load();
    b.bytes[kDecodeMethod] = colour ? uint8_t(atomicField(r.decodeMethod).load()) : 0;
    b.bytes[kSaturationMark] = atomicField(r.saturationMarkOn).load();
    b.bytes[kSlowFrames] = r.exposureSupported == 1 ? r.allowSlowFrames : 0;
    b.bytes[kRounding] = uint8_t(r.exposureRoundingMode);
    b.bytes[kCooling] = r.coolingSupported == 1 ? r.coolingOn : 0;
}

uint32_t clamp(uint32_t value, uint32_t minimum, uint32_t maximum) {
    return value < minimum ? minimum : value > maximum ? maximum : value;
}

// Whether every value is one the page could have saved: a number in each float field, and in
// each choice one that the page offers. Anything else marks a damaged block.
bool blockIsSound(const Block &b) {
    for (size_t at : {kHue, kSaturation, kGamma, kBrightness, kContrast})
        if (!std::isfinite(b.getFloat(at))) return false;
    const uint8_t rounding = b.bytes[kRounding];
    return b.get16(kMatrixIndex) <= kLastColorMatrix &&
           b.bytes[kDecodeMethod] <= kLastDecodeMethod && rounding >= 1 &&
           rounding <= kLastRoundingMode;
}

// The ranges the page's sliders cover, in record units.
struct Range {
    float minimum, maximum;
};
constexpr Range kContrastRange{0.0f, 2.0f}, kBrightnessRange{-100.0f, 100.0f},
    kGammaRange{0.0f, 4.0f}, kHueRange{-180.0f, 180.0f}, kSaturationRange{0.0f, 2.0f};

// A float field held to its slider's range (the block is sound: it holds a number).
float held(const Block &b, size_t at, Range range) {
    return std::clamp(b.getFloat(at), range.minimum, range.maximum);
}

// The size the block names, when the sensor holds it: found in the size table by its output
// size and subsampling, and centred.
void restoreSize(PanelGlobals &g, Handle camera, CameraRecord &r, const Block &b) {
    const uint32_t width = b.get16(kWidth), height = b.get16(kHeight);
    const uint32_t factor = b.get16(kSubsampling);
    if (factor * width > r.maxWidth || factor * height > r.maxHeight) return;
    g.sizeSelector = QORAImageSizeSubSampleToSelector(camera, width, height, factor == 2);
    qor::panel::applySizeSelector(camera, g.sizeSelector);
}

// Exposure: automatic when the block says so and the camera offers it, else the value held
// within the camera's range. Sends nothing (and returns `result`) when there is nothing to send.
int32_t restoreExposure(Handle camera, CameraRecord &r, const Block &b, int32_t result) {
    if (r.exposureSupported != 1) return result;
    r.exposureAutoOn = 0;
    const uint32_t saved = b.get32(kExposure);
    if (saved == kAutomatic) {
        if (r.exposureAutoSupported != 1) return result;
        result = QORASetVideoControlValue(camera, kControlExposure, 0, 1);
        r.exposureAutoOn = result == 0 ? 1 : 0;
        return result;
    }
    const uint32_t value = clamp(saved, r.exposureMin, r.framePeriodUs);
    atomicField(r.exposure).store(value);
    return QORASetVideoControlValue(camera, kControlExposure, 4, value);
}

struct GainField {
    size_t offset;
    uint16_t control;
    uint8_t CameraRecord::*supported;
    uint8_t CameraRecord::*autoOn;
    uint32_t CameraRecord::*minimum;
    uint32_t CameraRecord::*maximum;
    uint32_t CameraRecord::*value;
};

int32_t restoreGain(Handle camera, CameraRecord &r, const Block &b, const GainField &f) {
    if (r.*f.supported != 1 || r.*f.autoOn != 0) return 0;
    const uint32_t value = clamp(b.get32(f.offset), r.*f.minimum, r.*f.maximum);
    atomicField(r.*f.value).store(value);
    return QORASetVideoControlValue(camera, f.control, 4, value);
}

// The settings after the geometry and exposure, in order; stops at the first failure.
int32_t restoreTheRest(Handle camera, CameraRecord &r, const Block &b) {
    using R = CameraRecord;
    int32_t result = restoreGain(camera, r, b,
                                 {kGain, kControlGain, &R::gainSupported, &R::gainAutoOn,
                                  &R::gainMin, &R::gainMax, &R::gain});
    if (result) return result;
    if (r.colorSensor == 1) {
        const GainField colours[] = {
            {kRedGain, kControlRedGain, &R::redGainSupported, &R::redGainAutoOn, &R::redGainMin,
             &R::redGainMax, &R::redGain},
            {kGreen1Gain, kControlGreen1Gain, &R::green1GainSupported, &R::green1GainAutoOn,
             &R::green1GainMin, &R::green1GainMax, &R::green1Gain},
            {kGreen2Gain, kControlGreen2Gain, &R::green2GainSupported, &R::green2GainAutoOn,
             &R::green2GainMin, &R::green2GainMax, &R::green2Gain},
            {kBlueGain, kControlBlueGain, &R::blueGainSupported, &R::blueGainAutoOn,
             &R::blueGainMin, &R::blueGainMax, &R::blueGain},
        };
        for (const GainField &f : colours)
            if ((result = restoreGain(camera, r, b, f))) return result;
    }
    if (r.toneCurveSupported == 1) {
        r.contrast = held(b, kContrast, kContrastRange);
        r.brightness = held(b, kBrightness, kBrightnessRange);
        r.gamma = held(b, kGamma, kGammaRange);
        if ((result = QORAApplyContrastBrightGammaLUT(camera, r.contrast, r.brightness, r.gamma)))
            return result;
    }
    if (r.colorSensor == 1) {
        r.hue = held(b, kHue, kHueRange);
        r.balanceTargetColor = {b.get16(kTargetRed), b.get16(kTargetGreen), b.get16(kTargetBlue)};
        r.saturation = held(b, kSaturation, kSaturationRange);
        atomicField(r.decodeMethod).store(b.bytes[kDecodeMethod]);
        qor::panel::rebuildColorMatrix(camera, b.get16(kMatrixIndex));
    }
    atomicField(r.flipHorizontal).store(b.flag(kFlipHorizontal));
    atomicField(r.flipVertical).store(b.flag(kFlipVertical));
    atomicField(r.saturationMarkOn).store(b.flag(kSaturationMark));
    r.exposureRoundingMode = b.bytes[kRounding];
    if (r.coolingSupported == 1)
        QORASetCameraCooling(camera, b.flag(kCooling), kCoolingSetPointCelsius);
    return 0;
}

} // namespace

ComponentResult QORASGPanelGetSettings(Handle, SGChannel c, UserData *ud, int32_t) {
    if (!ud) return qtParamErr;
    Handle camera = nullptr;
    if (ComponentResult result = qor::panel::cameraOfChannel(c, &camera)) return result;
    CameraRecord *r = cameraRecord(camera);
    if (!r) return badCallOrderErr;
    Handle block = NewHandleClear(kBlockBytes);
    if (!block) return MemError() ? ComponentResult(MemError()) : ComponentResult(memFullErr);
    HLock(block);
    fill(Block{reinterpret_cast<uint8_t *>(*block)}, *r);
    HUnlock(block);
    const OSErr result = NewUserDataFromHandle(block, ud);
    DisposeHandle(block);
    return result;
}

ComponentResult QORASGPanelSetSettings(Handle storage, SGChannel c, UserData ud, int32_t) {
    if (!c || !ud) return qtParamErr;
    PanelGlobals *g = storage && *storage ? reinterpret_cast<PanelGlobals *>(*storage) : nullptr;
    if (!g) return badCallOrderErr;
    if (ComponentResult result = QORASGPanelCanRun(storage, c)) return result;
    Handle block = NewHandleClear(kBlockBytes);
    if (!block) return MemError() ? ComponentResult(MemError()) : ComponentResult(memFullErr);
    if (OSErr error = PutUserDataIntoHandle(ud, block)) {
        DisposeHandle(block);
        return error;
    }
    if (GetHandleSize(block) != kBlockBytes) {
        DisposeHandle(block);
        return qtParamErr;
    }
    Handle camera = nullptr;
    if (ComponentResult result = QORVANTAHook(SGGetVideoDigitizerComponent(c), &camera)) {
        DisposeHandle(block);
        return result;
    }
    CameraRecord *rp = cameraRecord(camera);
    HLock(block);
    const Block b{reinterpret_cast<uint8_t *>(*block)};
    // A block of another version is not this driver's to read, and is ignored; a damaged block
    // is refused.
    const bool otherVersion = b.get32(kVersion) != kBlockVersion;
    if (!rp || otherVersion || !blockIsSound(b)) {
        HUnlock(block);
        DisposeHandle(block);
        return !rp ? ComponentResult(badCallOrderErr)
                   : ComponentResult(otherVersion ? noErr : qtParamErr);
    }
    CameraRecord &r = *rp;

    if (g->seqGrabber) SGPause(g->seqGrabber, seqGrabPause);
    r.allowSlowFrames = r.exposureSupported == 1 ? b.flag(kSlowFrames) : 0;
    restoreSize(*g, camera, r, b);
    QORASetVideoControlValue(camera, kControlExposure, 4, 0);
    int32_t result =
        QORASetCameraImageProperties(camera, r.windowLeft, r.windowTop, r.imageWidth, r.imageHeight,
                                     r.subSampleX, r.subSampleY, r.sensorType);
    if (result == 0) result = QORAGetSupportedKBPSRates(camera);
    if (result == 0) {
        qor::vdig::selectDataRate(camera, r);
        qor::vdig::setFrameTiming(r, uint32_t(r.imageWidth / r.subSampleX) *
                                         uint32_t(r.imageHeight / r.subSampleY));
    }
    // The exposure step runs also after a failure there, and its result replaces the error.
    result = restoreExposure(camera, r, b, result);
    if (result == 0) result = restoreTheRest(camera, r, b);

    atomicField(r.imageSettingsChanged).store(1);
    SGVideoDigitizerChanged(c);
    if (g->seqGrabber) SGPause(g->seqGrabber, seqGrabUnpause);
    HUnlock(block);
    DisposeHandle(block);
    return result;
}
