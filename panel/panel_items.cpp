// The page's live controls: the ten slider procedures, called while a slider is dragged, and
// the item handler for every other control. Each change goes to the camera record and the
// camera at once, so the preview follows the controls.
#include "panel/panel.h"

#include "camera/video_controls.h"

#include "platform/memory.h"
#include "platform/misc.h"
#include "platform/resources.h"
#include "usb/camera_record.h"

#include <qorvanta/camera.h>
#include <qorvanta/imaging.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace qor::panel {

namespace {

using enum camera::VideoControl;

constexpr double kCoolingSetPointCelsius = -15.0;
constexpr useconds_t kBalancePollUs = 30000;

PanelGlobals *globalsOf(Handle h) {
    return h && *h ? reinterpret_cast<PanelGlobals *>(*h) : nullptr;
}

// The globals a slider's procedure works for, when they hold a camera.
PanelGlobals *sliderGlobals(ControlRef control) {
    PanelGlobals *g = globalsOf(reinterpret_cast<Handle>(GetControlReference(control)));
    return g && g->camera && cameraRecord(g->camera) ? g : nullptr;
}

void readout(const PanelGlobals &g, int16_t item, const char *text) {
    myAssignStringDItem(g.dialog, int16_t(g.itemOffset + item), text);
}

void gainReadout(const PanelGlobals &g, int16_t item, uint32_t value, int32_t error) {
    char text[32];
    if (error)
        std::snprintf(text, sizeof text, "err 0x%X", uint32_t(error));
    else
        std::snprintf(text, sizeof text, "%5.2f", double(value) / 4000.0);
    readout(g, item, text);
}

void intReadout(const PanelGlobals &g, int16_t item, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    readout(g, item, text);
}

// Sends one gain control and shows the result.
void gainSlider(ControlRef control, uint32_t CameraRecord::*field, uint16_t videoControl,
                int16_t text) {
    PanelGlobals *g = sliderGlobals(control);
    if (!g) return;
    const uint32_t v = uint32_t(GetControl32BitValue(control));
    CameraRecord &r = *cameraRecord(g->camera);
    atomicField(r.*field).store(v);
    const int32_t error = QORASetVideoControlValue(g->camera, videoControl, 4, v);
    gainReadout(*g, text, v, error);
    SGIdle(g->channel);
}

void applyToneCurve(Handle camera, CameraRecord &r) {
    QORAApplyContrastBrightGammaLUT(camera, r.contrast, r.brightness, r.gamma);
}

void tell(PanelGlobals &g, SGChannel c) {
    atomicField(cameraRecord(g.camera)->imageSettingsChanged).store(1);
    SGVideoDigitizerChanged(c);
}

void pause(PanelGlobals &g, bool on) {
    if (g.seqGrabber) SGPause(g.seqGrabber, on ? seqGrabPause : seqGrabUnpause);
}

uint8_t toggled(uint8_t &field) {
    const uint8_t now = atomicField(field).load() == 0 ? 1 : 0;
    atomicField(field).store(now);
    return now;
}

// After a change that can move the frame period: the exposure slider's range follows it and the
// exposure stays within it.
void refreshExposureSlider(PanelGlobals &g, CameraRecord &r) {
    ControlRef slider = pageControl(g, kItemExposure);
    if (!slider || r.exposureSupported != 1) return;
    SetControl32BitMaximum(slider, int32_t(r.framePeriodUs));
    SetControl32BitMinimum(slider, int32_t(r.exposureMin));
    auto exposure = atomicField(r.exposure);
    if (exposure.load() > r.framePeriodUs) exposure.store(r.framePeriodUs);
    SetControl32BitValue(slider, int32_t(exposure.load()));
    myDoExposureSlider(slider, kControlNoPart);
}

// The balance runs in the frame path; this waits for it to end, and gives it up when frames
// stop arriving or the camera goes away, putting the gains back as they were.
void runColorBalance(PanelGlobals &g, CameraRecord &r) {
    if (QORAStartColorBalance(g.camera) != 0) return;
    using Clock = std::chrono::steady_clock;
    double lastFrame = atomicField(r.lastFrameMs).load();
    Clock::time_point lastProgress = Clock::now();
    while (atomicField(r.colorBalanceActive).load() == 1) {
        SGIdle(g.channel);
        usleep(kBalancePollUs);
        const double frame = atomicField(r.lastFrameMs).load();
        if (frame != lastFrame) {
            lastFrame = frame;
            lastProgress = Clock::now();
        }
        const bool gone = atomicField(r.cameraRemoved).load() != 0;
        if (gone || Clock::now() - lastProgress > camera::colorBalanceFrameWait(r)) {
            atomicField(r.redBalanceState).store(-1);
            atomicField(r.blueBalanceState).store(-1);
            atomicField(r.colorBalanceActive).store(0);
            atomicField(r.redGain).store(r.savedRedGain);
            atomicField(r.blueGain).store(r.savedBlueGain);
            if (gone) return;
            break;
        }
    }
    if (ControlRef red = pageControl(g, kItemRedGain)) {
        SetControl32BitValue(red, int32_t(atomicField(r.redGain).load()));
        myDoRedGainSlider(red, kControlNoPart);
    }
    if (ControlRef blue = pageControl(g, kItemBlueGain)) {
        SetControl32BitValue(blue, int32_t(atomicField(r.blueGain).load()));
        myDoBlueGainSlider(blue, kControlNoPart);
    }
}

void chooseTargetColor(CameraRecord &r) {
    Point where{-1, -1};
    Str255 prompt;
    CopyCStringToPascal("Select a Font Color:", prompt);
    RGBColor chosen{};
    if (GetColor(where, prompt, &r.balanceTargetColor, &chosen)) r.balanceTargetColor = chosen;
}

void chooseMatrix(PanelGlobals &g, CameraRecord &r, int16_t index) {
    ControlRef hue = pageControl(g, kItemHue);
    ControlRef saturation = pageControl(g, kItemSaturation);
    if (index <= 0) {
        // The frame path applies no matrix at index 0; the matrix itself stays.
        atomicField(r.colorMatrixIndex).store(0);
        if (hue) DisableControl(hue);
        if (saturation) DisableControl(saturation);
        return;
    }
    if (hue) EnableControl(hue);
    if (saturation) EnableControl(saturation);
    rebuildColorMatrix(g.camera, uint16_t(index));
}

void itemAction(PanelGlobals &g, SGChannel c, int16_t n) {
    CameraRecord &r = *cameraRecord(g.camera);
    ControlRef control = pageControl(g, n);
    DialogRef d = g.dialog;
    const int16_t item = int16_t(g.itemOffset + n);
    switch (n) {
    case kItemSize:
        if (!control) return;
        g.sizeSelector = uint32_t(int16_t(GetControl32BitValue(control) - 1));
        pause(g, true);
        applySizeSelector(g.camera, g.sizeSelector);
        tell(g, c);
        pause(g, false);
        refreshExposureSlider(g, r);
        return;
    case kItemBlockDecode:
    case kItemInterpolatedDecode:
        setButtonValue(d, int16_t(g.itemOffset + kItemBlockDecode), n == kItemBlockDecode);
        setButtonValue(d, int16_t(g.itemOffset + kItemInterpolatedDecode),
                       n == kItemInterpolatedDecode);
        atomicField(r.decodeMethod).store(n == kItemBlockDecode ? 0 : 1);
        return;
    case kItemSaturationMark: {
        const uint8_t on = toggled(r.saturationMarkOn);
        // A grey frame shows the mark through the description's colour table.
        if (r.colorSensor == 0) {
            pause(g, true);
            tell(g, c);
            pause(g, false);
        }
        setButtonValue(d, item, on);
        return;
    }
    case kItemFlipHorizontal:
        setButtonValue(d, item, toggled(r.flipHorizontal));
        return;
    case kItemFlipVertical:
        setButtonValue(d, item, toggled(r.flipVertical));
        return;
    case kItemSlowFrames:
        pause(g, true);
        toggled(r.allowSlowFrames);
        tell(g, c);
        pause(g, false);
        refreshExposureSlider(g, r);
        setButtonValue(d, item, r.allowSlowFrames);
        return;
    case kItemAutoExposure: {
        const uint8_t on = r.exposureAutoOn == 0 ? 1 : 0;
        r.exposureAutoOn = on;
        QORASetVideoControlValue(g.camera, kControlExposure, 0, on);
        if (ControlRef slider = pageControl(g, kItemExposure)) {
            if (on) {
                DisableControl(slider);
                Draw1Control(slider);
            } else {
                EnableControl(slider);
                Draw1Control(slider);
                myDoExposureSlider(slider, kControlNoPart);
            }
        }
        setButtonValue(d, item, on);
        return;
    }
    case kItemColorBalance:
        runColorBalance(g, r);
        return;
    case kItemBalanceTarget:
        chooseTargetColor(r);
        return;
    case kItemColorMatrix:
        if (control) chooseMatrix(g, r, int16_t(GetControl32BitValue(control) - 1));
        return;
    case kItemExposureRounding:
        if (!control) return;
        r.exposureRoundingMode = uint16_t(GetControl32BitValue(control));
        if (ControlRef slider = pageControl(g, kItemExposure))
            myDoExposureSlider(slider, kControlNoPart);
        return;
    case kItemCooling: {
        const uint8_t on = r.coolingOn == 0 ? 1 : 0;
        QORASetCameraCooling(g.camera, on, kCoolingSetPointCelsius);
        setButtonValue(d, item, on);
        return;
    }
    default:
        return;
    }
}

} // namespace

uint32_t roundExposure(uint32_t exposure, uint16_t mode) {
    if (mode == 3) return exposure;
    const double step = mode == 1 ? 8333.3 : 10000.0;
    return uint32_t(std::nearbyint(double(exposure) / step) * step);
}

void applySizeSelector(Handle camera, uint32_t selector) {
    CameraRecord *r = cameraRecord(camera);
    if (!r) return;
    uint32_t width = 0, height = 0;
    uint8_t subsampled = 0;
    QORASelectorToImageSizeSubSample(camera, selector, &width, &height, &subsampled);
    const uint16_t factor = subsampled ? 2 : 1;
    r->subSampleX = r->subSampleY = factor;
    r->imageWidth = uint16_t(factor * width);
    r->imageHeight = uint16_t(factor * height);
    // Centred, on an even pixel so that the mosaic phase stays; never before the sensor's start.
    auto centred = [](int sensor, int window) {
        int origin = (sensor - window) / 2;
        if (origin % 2 != 0) ++origin;
        return uint16_t(origin < 0 ? 0 : origin);
    };
    r->windowLeft = centred(r->maxWidth, r->imageWidth);
    r->windowTop = centred(r->maxHeight, r->imageHeight);
}

void rebuildColorMatrix(Handle camera, uint16_t index) {
    CameraRecord *r = cameraRecord(camera);
    if (!r) return;
    float matrix[9];
    QORAGetBaseRGBCorrectionMatrix(matrix, r->productID, index);
    QORAApplyHueSatCorrectionToMatrix(matrix, r->hue, r->saturation);
    publishColorMatrix(*r, matrix, index);
}

} // namespace qor::panel

using namespace qor::panel;

void myDoExposureSlider(ControlRef control, ControlPartCode) {
    PanelGlobals *g = sliderGlobals(control);
    if (!g) return;
    CameraRecord &r = *cameraRecord(g->camera);
    const uint32_t exposure =
        roundExposure(uint32_t(GetControl32BitValue(control)), r.exposureRoundingMode);
    atomicField(r.exposure).store(exposure);
    const int32_t error = QORASetVideoControlValue(g->camera, kControlExposure, 4, exposure);
    char text[32];
    if (error)
        std::snprintf(text, sizeof text, "err 0x%X", uint32_t(error));
    else
        std::snprintf(text, sizeof text, "%5.2f ms", double(exposure) / 1000.0);
    readout(*g, kItemExposureText, text);
    SGIdle(g->channel);
}

void myDoGainSlider(ControlRef control, ControlPartCode) {
    gainSlider(control, &CameraRecord::gain, kControlGain, kItemGainText);
}

void myDoRedGainSlider(ControlRef control, ControlPartCode) {
    gainSlider(control, &CameraRecord::redGain, kControlRedGain, kItemRedGainText);
}

void myDoBlueGainSlider(ControlRef control, ControlPartCode) {
    gainSlider(control, &CameraRecord::blueGain, kControlBlueGain, kItemBlueGainText);
}

void myDoGreenGainSlider(ControlRef control, ControlPartCode) {
    PanelGlobals *g = sliderGlobals(control);
    if (!g) return;
    const uint32_t v = uint32_t(GetControl32BitValue(control));
    CameraRecord &r = *cameraRecord(g->camera);
    int32_t error = 0;
    if (r.green1GainSupported == 1) {
        atomicField(r.green1Gain).store(v);
        error = QORASetVideoControlValue(g->camera, kControlGreen1Gain, 4, v);
    }
    if (r.green2GainSupported == 1) {
        atomicField(r.green2Gain).store(v);
        error = QORASetVideoControlValue(g->camera, kControlGreen2Gain, 4, v);
    }
    gainReadout(*g, kItemGreenGainText, v, error);
    SGIdle(g->channel);
}

void myDoContrastSlider(ControlRef control, ControlPartCode) {
    PanelGlobals *g = sliderGlobals(control);
    if (!g) return;
    const int v = GetControl32BitValue(control);
    CameraRecord &r = *cameraRecord(g->camera);
    r.contrast = float((v + 100) / 100.0);
    applyToneCurve(g->camera, r);
    intReadout(*g, kItemContrastText, v);
    SGIdle(g->channel);
}

void myDoBrightnessSlider(ControlRef control, ControlPartCode) {
    PanelGlobals *g = sliderGlobals(control);
    if (!g) return;
    const int v = GetControl32BitValue(control);
    CameraRecord &r = *cameraRecord(g->camera);
    r.brightness = float(v);
    applyToneCurve(g->camera, r);
    intReadout(*g, kItemBrightnessText, v);
    SGIdle(g->channel);
}

void myDoGammaSlider(ControlRef control, ControlPartCode) {
    PanelGlobals *g = sliderGlobals(control);
    if (!g) return;
    const int v = GetControl32BitValue(control);
    CameraRecord &r = *cameraRecord(g->camera);
    r.gamma = float(v / 100.0);
    applyToneCurve(g->camera, r);
    char text[32];
    std::snprintf(text, sizeof text, "%5.2f", double(r.gamma));
    readout(*g, kItemGammaText, text);
    SGIdle(g->channel);
}

void myDoHueSlider(ControlRef control, ControlPartCode) {
    PanelGlobals *g = sliderGlobals(control);
    if (!g) return;
    int v = GetControl32BitValue(control);
    // A small dead zone around 0, which a slider is hard to hit exactly.
    if (v >= -1 && v <= 1) v = 0;
    CameraRecord &r = *cameraRecord(g->camera);
    r.hue = float(v);
    rebuildColorMatrix(g->camera, atomicField(r.colorMatrixIndex).load());
    intReadout(*g, kItemHueText, v);
    SGIdle(g->channel);
}

void myDoSaturationSlider(ControlRef control, ControlPartCode) {
    PanelGlobals *g = sliderGlobals(control);
    if (!g) return;
    const int v = GetControl32BitValue(control);
    CameraRecord &r = *cameraRecord(g->camera);
    r.saturation = float((v + 128) * 0.0078125);
    rebuildColorMatrix(g->camera, atomicField(r.colorMatrixIndex).load());
    intReadout(*g, kItemSaturationText, v);
    SGIdle(g->channel);
}

ComponentResult QORASGPanelItem(Handle storage, SGChannel c, DialogRef d, int16_t itemOffset,
                                int16_t itemNum) {
    PanelGlobals *g = globalsOf(storage);
    if (!g) return noErr;
    const int16_t n = int16_t(itemNum - itemOffset);
    GrafPtr savedPort = nullptr;
    GetPort(&savedPort);
    const int16_t savedResFile = CurResFile();
    HLock(storage);
    UseResFile(g->resFile);
    if (d && savedPort != GetDialogPort(d)) SetPortDialogPort(d);
    if (n >= 0 && n <= 49 && g->camera && cameraRecord(g->camera)) itemAction(*g, c, n);
    HUnlock(storage);
    UseResFile(savedResFile);
    if (savedPort && (!d || savedPort != GetDialogPort(d))) SetPort(savedPort);
    return noErr;
}
