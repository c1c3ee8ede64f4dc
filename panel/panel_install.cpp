// Installing the page: connects the panel to the channel's camera, fits the dialog on the screen,
// fills every control from the camera record, disables what the camera lacks, attaches the
// slider procedures and writes the information texts. Also the page's removal.
#include "panel/panel.h"

#include "platform/misc.h"
#include "platform/resources.h"
#include "usb/camera_record.h"

#include <qorvanta/camera.h>
#include <qorvanta/status.h>
#include <qorvanta/vdig.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qor::panel {

namespace {

constexpr uint16_t kVersionRegister = 0x0C;
constexpr int16_t kOffScreenLeft = 4;
constexpr int16_t kOffScreenTop = 32;

// Makes the dialog's port current for the life of the object, and restores the one that was
// current unless it was null or the dialog's own.
class DialogPort {
public:
    explicit DialogPort(DialogRef d) : dialog_(d) {
        GetPort(&saved_);
        if (d && saved_ != GetDialogPort(d)) SetPortDialogPort(d);
    }
    ~DialogPort() {
        if (saved_ && (!dialog_ || saved_ != GetDialogPort(dialog_))) SetPort(saved_);
    }
    DialogPort(const DialogPort &) = delete;
    DialogPort &operator=(const DialogPort &) = delete;

private:
    DialogRef dialog_;
    GrafPtr saved_ = nullptr;
};

ControlRef itemControl(DialogRef d, int16_t item) {
    ControlRef control = nullptr;
    if (d && item > 0) GetDialogItemAsControl(d, DialogItemIndex(item), &control);
    return control;
}

// Moves a window whose top-left corner is off the desktop onto it, and shrinks one that is
// larger than the desktop.
void fitWindow(DialogRef d) {
    WindowRef window = GetDialogWindow(d);
    if (!window) return;
    Rect port{};
    GetWindowPortBounds(window, &port);
    Point topLeft, bottomRight;
    SetPt(&topLeft, port.left, port.top);
    SetPt(&bottomRight, port.right, port.bottom);
    LocalToGlobal(&topLeft);
    LocalToGlobal(&bottomRight);
    int16_t width = int16_t(bottomRight.h - topLeft.h);
    int16_t height = int16_t(bottomRight.v - topLeft.v);
    Rect desktop{};
    GetRegionBounds(GetGrayRgn(), &desktop);
    if (!PtInRect(topLeft, &desktop))
        MoveWindow(window, int16_t(desktop.left + kOffScreenLeft),
                   int16_t(desktop.top + kOffScreenTop), false);
    bool shrink = false;
    if (width > desktop.right - desktop.left) {
        width = int16_t(desktop.right - desktop.left);
        shrink = true;
    }
    if (height > desktop.bottom - desktop.top) {
        height = int16_t(desktop.bottom - desktop.top);
        shrink = true;
    }
    if (shrink) SizeWindow(window, width, height, false);
}

void appendMenuText(MenuRef menu, const char *text) {
    Str255 pascal;
    CopyCStringToPascal(text, pascal);
    AppendMenu(menu, pascal);
}

// The size menu: the sensor's full size first, then the rest of the size table.
void fillSizeMenu(PanelGlobals &g, const CameraRecord &r) {
    ControlRef popup = pageControl(g, kItemSize);
    MenuRef menu = popup ? GetControlPopupMenuHandle(popup) : nullptr;
    if (!menu) return;
    for (short item = CountMenuItems(menu); item >= 2; --item) DeleteMenuItem(menu, item);
    char text[64];
    std::snprintf(text, sizeof text, "%d x %d", r.maxWidth, r.maxHeight);
    Str255 pascal;
    CopyCStringToPascal(text, pascal);
    if (CountMenuItems(menu) == 0)
        AppendMenu(menu, pascal);
    else
        SetMenuItemText(menu, 1, pascal);
    for (int i = 1; i < r.imageSizeCount && i < kImageSizeTableSize; ++i) {
        std::snprintf(text, sizeof text,
                      r.imageSizeSubsampled[i] == 1 ? "%d x %d Subsampled 2" : "%d x %d",
                      r.imageSizeWidths[i], r.imageSizeHeights[i]);
        appendMenuText(menu, text);
    }
    SetControl32BitMaximum(popup, CountMenuItems(menu));
    SetControl32BitMinimum(popup, 1);
    g.sizeSelector =
        QORAImageSizeSubSampleToSelector(g.camera, r.rawWidth, r.rawHeight, r.subSampleX == 2);
    mySetAPopMenuControlValue(g.dialog, int16_t(g.itemOffset + kItemSize),
                              int32_t(g.sizeSelector + 1));
}

// A slider filled from the record, with its procedure and the globals as its reference.
void setUpSlider(PanelGlobals &g, Handle globals, int16_t item, ControlActionUPP *upp,
                 ControlActionProcPtr procedure, int32_t minimum, int32_t maximum, int32_t value) {
    ControlRef slider = pageControl(g, item);
    if (!*upp) *upp = NewControlActionUPP(procedure);
    if (!slider) return;
    SetControl32BitMaximum(slider, maximum);
    SetControl32BitMinimum(slider, minimum);
    SetControl32BitValue(slider, value);
    SetControlAction(slider, *upp);
    SetControlReference(slider, reinterpret_cast<long>(globals));
}

void disable(PanelGlobals &g, int16_t item) {
    if (ControlRef control = pageControl(g, item)) DisableControl(control);
}

void setText(PanelGlobals &g, int16_t item, const char *text) {
    myAssignStringDItem(g.dialog, int16_t(g.itemOffset + item), text);
}

void setButton(PanelGlobals &g, int16_t item, int value) {
    setButtonValue(g.dialog, int16_t(g.itemOffset + item), int16_t(value));
}

void gainReadout(PanelGlobals &g, int16_t item, uint32_t gain) {
    char text[32];
    std::snprintf(text, sizeof text, "%5.2f", double(gain) / 4000.0);
    setText(g, item, text);
}

void intReadout(PanelGlobals &g, int16_t item, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    setText(g, item, text);
}

// A slider's position for a record value: the value truncated toward zero, held to the slider's
// range (a value that is not a number at its minimum), so that no value beyond an int is
// converted and the readout shows where the slider stands.
int sliderPosition(double value, int minimum, int maximum) {
    if (!(value >= minimum)) return minimum;
    if (value > maximum) return maximum;
    return int(std::trunc(value));
}

void installExposure(PanelGlobals &g, Handle globals, CameraRecord &r) {
    if (r.exposureSupported != 1) {
        disable(g, kItemExposure);
        setText(g, kItemExposureText, "");
        disable(g, kItemSlowFrames);
        disable(g, kItemAutoExposure);
        return;
    }
    auto exposure = atomicField(r.exposure);
    if (exposure.load() > r.framePeriodUs) exposure.store(r.framePeriodUs);
    setUpSlider(g, globals, kItemExposure, &g.exposureActionUPP, myDoExposureSlider,
                int32_t(r.exposureMin), int32_t(r.framePeriodUs), int32_t(exposure.load()));
    char text[32];
    std::snprintf(text, sizeof text, "%5.2f ms", double(exposure.load()) / 1000.0);
    setText(g, kItemExposureText, text);
    if (r.exposureAutoSupported == 1) {
        setButton(g, kItemAutoExposure, r.exposureAutoOn);
        if (r.exposureAutoOn == 1) disable(g, kItemExposure);
    } else {
        disable(g, kItemAutoExposure);
    }
    setButton(g, kItemSlowFrames, r.allowSlowFrames);
}

struct GainSlider {
    int16_t item, text;
    ControlActionUPP PanelGlobals::*upp;
    ControlActionProcPtr procedure;
};

void installGain(PanelGlobals &g, Handle globals, const GainSlider &s, bool present,
                 uint32_t minimum, uint32_t maximum, uint32_t value) {
    if (!present) {
        disable(g, s.item);
        setText(g, s.text, "");
        return;
    }
    setUpSlider(g, globals, s.item, &(g.*s.upp), s.procedure, int32_t(minimum), int32_t(maximum),
                int32_t(value));
    gainReadout(g, s.text, value);
}

void installGains(PanelGlobals &g, Handle globals, const CameraRecord &r) {
    installGain(g, globals,
                {kItemGain, kItemGainText, &PanelGlobals::gainActionUPP, myDoGainSlider},
                r.gainSupported == 1, r.gainMin, r.gainMax, r.gain);
    installGain(
        g, globals,
        {kItemRedGain, kItemRedGainText, &PanelGlobals::redGainActionUPP, myDoRedGainSlider},
        r.redGainSupported == 1, r.redGainMin, r.redGainMax, r.redGain);
    const bool first = r.green1GainSupported == 1;
    installGain(g, globals,
                {kItemGreenGain, kItemGreenGainText, &PanelGlobals::greenGainActionUPP,
                 myDoGreenGainSlider},
                first || r.green2GainSupported == 1, first ? r.green1GainMin : r.green2GainMin,
                first ? r.green1GainMax : r.green2GainMax, first ? r.green1Gain : r.green2Gain);
    installGain(
        g, globals,
        {kItemBlueGain, kItemBlueGainText, &PanelGlobals::blueGainActionUPP, myDoBlueGainSlider},
        r.blueGainSupported == 1, r.blueGainMin, r.blueGainMax, r.blueGain);
}

void installToneCurve(PanelGlobals &g, Handle globals, const CameraRecord &r) {
    if (r.toneCurveSupported != 1) {
        for (int16_t item : {kItemContrast, kItemBrightness, kItemGamma}) disable(g, item);
        for (int16_t item : {kItemContrastText, kItemBrightnessText, kItemGammaText})
            setText(g, item, "");
        return;
    }
    const int contrast = sliderPosition(double(r.contrast) * 100.0, 0, 200) - 100;
    setUpSlider(g, globals, kItemContrast, &g.contrastActionUPP, myDoContrastSlider, -100, 100,
                contrast);
    intReadout(g, kItemContrastText, contrast);
    const int brightness = sliderPosition(r.brightness, -100, 100);
    setUpSlider(g, globals, kItemBrightness, &g.brightnessActionUPP, myDoBrightnessSlider, -100,
                100, brightness);
    intReadout(g, kItemBrightnessText, brightness);
    const int gamma = sliderPosition(double(r.gamma) * 100.0, 0, 400);
    setUpSlider(g, globals, kItemGamma, &g.gammaActionUPP, myDoGammaSlider, 0, 400, gamma);
    // The gamma itself, as far as the slider reaches.
    const double shownGamma = std::isfinite(r.gamma) ? std::clamp(double(r.gamma), 0.0, 4.0) : 0.0;
    char text[32];
    std::snprintf(text, sizeof text, "%5.2f", shownGamma);
    setText(g, kItemGammaText, text);
}

void installHueSaturation(PanelGlobals &g, Handle globals, CameraRecord &r) {
    if (r.colorSensor != 1) {
        disable(g, kItemHue);
        disable(g, kItemSaturation);
        setText(g, kItemHueText, "");
        setText(g, kItemSaturationText, "");
        return;
    }
    const int hue = sliderPosition(r.hue, -180, 180);
    setUpSlider(g, globals, kItemHue, &g.hueActionUPP, myDoHueSlider, -180, 180, hue);
    intReadout(g, kItemHueText, hue);
    const int saturation = sliderPosition(double(r.saturation) * 128.0 - 128.0, -128, 128);
    setUpSlider(g, globals, kItemSaturation, &g.saturationActionUPP, myDoSaturationSlider, -128,
                128, saturation);
    intReadout(g, kItemSaturationText, saturation);
    // They act only on a chosen matrix.
    if (atomicField(r.colorMatrixIndex).load() == 0) {
        disable(g, kItemHue);
        disable(g, kItemSaturation);
    }
}

void installTexts(PanelGlobals &g, const CameraRecord &r) {
    uint32_t version = 0;
    if (QORAReadOneCameraRegister(g.camera, kVersionRegister, &version) != 0) version = 0;
    char text[128];
    std::snprintf(text, sizeof text, "FPGA Version: %d.%d", int(version >> 24),
                  int((version >> 16) & 0xFF));
    setText(g, kItemFpgaVersion, text);
    std::snprintf(text, sizeof text, "Firmware Version: %d.%d", int((version >> 8) & 0xFF),
                  int(version & 0xFF));
    setText(g, kItemFirmwareVersion, text);
    setText(g, kItemDriverVersion, "Driver Version: 2.00.00");
    std::snprintf(text, sizeof text, "Camera Model & S/N: %s", r.cameraName);
    setText(g, kItemCameraModel, text);
}

} // namespace

ControlRef pageControl(const PanelGlobals &g, int16_t n) {
    return itemControl(g.dialog, int16_t(g.itemOffset + n));
}

void mySetAPopMenuControlValue(DialogRef d, int16_t item, int32_t value) {
    DialogPort port(d);
    if (ControlRef control = itemControl(d, item)) {
        SetControl32BitValue(control, value);
        Draw1Control(control);
    }
}

void myAssignStringDItem(DialogRef d, int16_t item, const char *text) {
    DialogPort port(d);
    if (ControlRef control = itemControl(d, item)) {
        SetControlData(control, kControlNoPart, kControlStaticTextTextTag, Size(std::strlen(text)),
                       text);
        Draw1Control(control);
    }
}

void setButtonValue(DialogRef d, int16_t item, int16_t value) {
    DialogPort port(d);
    if (ControlRef control = itemControl(d, item)) SetControlValue(control, value);
}

} // namespace qor::panel

using namespace qor::panel;

ComponentResult QORASGPanelInstall(Handle storage, SGChannel c, DialogRef d, int16_t itemOffset) {
    if (!c) return qtParamErr;
    PanelGlobals *gp = storage && *storage ? reinterpret_cast<PanelGlobals *>(*storage) : nullptr;
    if (!gp) return badCallOrderErr;
    gp->channel = c;
    Handle camera = nullptr;
    if (ComponentResult result = QORVANTAHook(SGGetVideoDigitizerComponent(c), &camera))
        return result;
    CameraRecord *rp = cameraRecord(camera);
    if (!rp) return badCallOrderErr;
    PanelGlobals &g = *gp;
    CameraRecord &r = *rp;
    g.itemOffset = itemOffset;
    g.camera = camera;
    g.dialog = d;

    const int16_t savedResFile = CurResFile();
    UseResFile(g.resFile);
    {
        DialogPort port(d);
        if (d) fitWindow(d);
        fillSizeMenu(g, r);
        if (r.colorSensor == 1)
            mySetAPopMenuControlValue(d, int16_t(itemOffset + kItemColorMatrix),
                                      atomicField(r.colorMatrixIndex).load() + 1);
        else
            disable(g, kItemColorMatrix);
        mySetAPopMenuControlValue(d, int16_t(itemOffset + kItemExposureRounding),
                                  r.exposureRoundingMode);
        installExposure(g, storage, r);
        installGains(g, storage, r);
        installToneCurve(g, storage, r);
        installHueSaturation(g, storage, r);
        if (r.colorSensor == 1) {
            const uint32_t method = atomicField(r.decodeMethod).load();
            setButton(g, kItemInterpolatedDecode, method == 1 ? 1 : 0);
            setButton(g, kItemBlockDecode, method == 0 ? 1 : 0);
        } else {
            for (int16_t item :
                 {kItemBlockDecode, kItemInterpolatedDecode, kItemBalanceTarget, kItemColorBalance})
                disable(g, item);
        }
        setButton(g, kItemSaturationMark, atomicField(r.saturationMarkOn).load());
        setButton(g, kItemFlipHorizontal, atomicField(r.flipHorizontal).load());
        setButton(g, kItemFlipVertical, atomicField(r.flipVertical).load());
        installTexts(g, r);
        if (r.coolingSupported == 1)
            setButton(g, kItemCooling, r.coolingOn);
        else
            disable(g, kItemCooling);
    }
    UseResFile(savedResFile);
    return noErr;
}

ComponentResult QORASGPanelRemove(Handle storage, SGChannel, DialogRef, int16_t) {
    PanelGlobals *g = storage && *storage ? reinterpret_cast<PanelGlobals *>(*storage) : nullptr;
    if (!g) return noErr;
    // A colour balance started from the page is cancelled: marked failed in both colours, the
    // next frame ends it and puts the gains back.
    if (CameraRecord *r = cameraRecord(g->camera)) {
        if (atomicField(r->colorBalanceActive).load() == 1) {
            atomicField(r->redBalanceState).store(-1);
            atomicField(r->blueBalanceState).store(-1);
        }
    }
    for (ControlActionUPP *upp :
         {&g->exposureActionUPP, &g->gainActionUPP, &g->redGainActionUPP, &g->blueGainActionUPP,
          &g->greenGainActionUPP, &g->contrastActionUPP, &g->brightnessActionUPP,
          &g->gammaActionUPP, &g->hueActionUPP, &g->saturationActionUPP}) {
        if (*upp) {
            DisposeControlActionUPP(*upp);
            *upp = nullptr;
        }
    }
    return noErr;
}
