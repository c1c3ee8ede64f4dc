// The settings panel: the Sequence Grabber page "Qorvanta Options" that edits a camera live, and
// saves and restores its settings. It reaches the camera record of the channel's digitizer
// through the digitizer's private hook and calls the camera library directly.
#pragma once

#include "platform/components.h"
#include "platform/dialogs.h"
#include "platform/seqgrab.h"
#include "platform/userdata.h"

struct EventRecord;

constexpr OSType kPanelComponentType = fourCharCode("sgpn");
constexpr OSType kPanelComponentSubType = fourCharCode("vide");
constexpr int32_t kPanelInterfaceVersion = 0x00010001;
constexpr int16_t kPanelDitlID = 16666;

// One record per panel instance, the instance storage.
struct PanelGlobals {
    ComponentInstance self;
    SeqGrabComponent seqGrabber;
    SGChannel channel;
    Handle camera;
    DialogRef dialog;
    int16_t itemOffset;
    ControlActionUPP exposureActionUPP;
    ControlActionUPP gainActionUPP;
    ControlActionUPP redGainActionUPP;
    ControlActionUPP blueGainActionUPP;
    ControlActionUPP greenGainActionUPP;
    ControlActionUPP contrastActionUPP;
    ControlActionUPP brightnessActionUPP;
    ControlActionUPP gammaActionUPP;
    ControlActionUPP hueActionUPP;
    ControlActionUPP saturationActionUPP;
    uint8_t loaderStarted;
    int16_t resFile;
    uint32_t sizeSelector;
};
using PanelGlobalsHandle = Handle;

ComponentResult QORASGComponentDispatch(ComponentParameters *params, Handle storage);

ComponentResult QORASGOpen(Handle storage, ComponentInstance self);
ComponentResult QORASGClose(Handle storage, ComponentInstance self);
ComponentResult QORASGCanDo(Handle storage, int16_t selector);
ComponentResult QORASGVersion(Handle storage);
ComponentResult QORASGRegister(Handle storage);
ComponentResult QORASGPanelGetDitl(Handle storage, Handle *ditl);
ComponentResult QORASGPanelGetTitle(Handle storage, StringPtr title);
ComponentResult QORASGPanelCanRun(Handle storage, SGChannel c);
ComponentResult QORASGPanelInstall(Handle storage, SGChannel c, DialogRef d, int16_t itemOffset);
ComponentResult QORASGPanelEvent(Handle storage, SGChannel c, DialogRef d, int16_t itemOffset,
                                 EventRecord *theEvent, int16_t *itemHit, Boolean *handled);
ComponentResult QORASGPanelItem(Handle storage, SGChannel c, DialogRef d, int16_t itemOffset,
                                int16_t itemNum);
ComponentResult QORASGPanelRemove(Handle storage, SGChannel c, DialogRef d, int16_t itemOffset);
ComponentResult QORASGPanelSetGrabber(Handle storage, SeqGrabComponent grabber);
ComponentResult QORASGPanelSetResFile(Handle storage, int16_t resRef);
ComponentResult QORASGPanelGetSettings(Handle storage, SGChannel c, UserData *ud, int32_t flags);
ComponentResult QORASGPanelSetSettings(Handle storage, SGChannel c, UserData ud, int32_t flags);
ComponentResult QORASGPanelValidateInput(Handle storage, Boolean *ok);

// The slider procedures the page attaches to its ten sliders.
void myDoExposureSlider(ControlRef control, ControlPartCode part);
void myDoGainSlider(ControlRef control, ControlPartCode part);
void myDoRedGainSlider(ControlRef control, ControlPartCode part);
void myDoGreenGainSlider(ControlRef control, ControlPartCode part);
void myDoBlueGainSlider(ControlRef control, ControlPartCode part);
void myDoContrastSlider(ControlRef control, ControlPartCode part);
void myDoBrightnessSlider(ControlRef control, ControlPartCode part);
void myDoGammaSlider(ControlRef control, ControlPartCode part);
void myDoHueSlider(ControlRef control, ControlPartCode part);
void myDoSaturationSlider(ControlRef control, ControlPartCode part);

namespace qor::panel {

// Page items, numbered from 1 after the dialog's item offset.
enum Item : int16_t {
    kItemSize = 1,
    kItemBlockDecode = 2,
    kItemInterpolatedDecode = 3,
    kItemSaturationMark = 5,
    kItemFlipHorizontal = 6,
    kItemFlipVertical = 7,
    kItemSlowFrames = 8,
    kItemAutoExposure = 9,
    kItemExposure = 10,
    kItemExposureText = 11,
    kItemGain = 12,
    kItemGainText = 13,
    kItemRedGain = 16,
    kItemRedGainText = 17,
    kItemGreenGain = 19,
    kItemGreenGainText = 20,
    kItemBlueGain = 22,
    kItemBlueGainText = 23,
    kItemContrast = 25,
    kItemContrastText = 26,
    kItemBrightness = 28,
    kItemBrightnessText = 29,
    kItemGamma = 31,
    kItemGammaText = 32,
    kItemHue = 34,
    kItemHueText = 35,
    kItemSaturation = 37,
    kItemSaturationText = 38,
    kItemColorBalance = 40,
    kItemBalanceTarget = 41,
    kItemFpgaVersion = 42,
    kItemFirmwareVersion = 43,
    kItemDriverVersion = 44,
    kItemColorMatrix = 45,
    kItemExposureRounding = 46,
    kItemCameraModel = 47,
    kItemCooling = 49,
};

// The control of page item n, or null.
ControlRef pageControl(const PanelGlobals &g, int16_t n);
// Sets a popup (or any control) to a 32-bit value and redraws it, in the dialog's port.
void mySetAPopMenuControlValue(DialogRef d, int16_t item, int32_t value);
// Replaces the text of a static-text item and redraws it, in the dialog's port.
void myAssignStringDItem(DialogRef d, int16_t item, const char *text);
// Sets a check box or radio button, in the dialog's port.
void setButtonValue(DialogRef d, int16_t item, int16_t value);

// The camera record the channel's digitizer holds, after the identity test of can-run:
// qtParamErr without channel or digitizer, badComponentType for another digitizer, or the
// error of reading its description or of the hook.
ComponentResult cameraOfChannel(SGChannel c, Handle *camera);

// The image-size choice `selector` applied to the record's geometry: subsampling, window size
// and a centred, even window origin.
void applySizeSelector(Handle camera, uint32_t selector);

// The colour matrix of choice `index` rebuilt from the model's base matrix and the record's hue
// and saturation, published to the frame path as a whole together with the choice.
void rebuildColorMatrix(Handle camera, uint16_t index);

// Rounds an exposure in microseconds by the record's rounding mode.
uint32_t roundExposure(uint32_t exposure, uint16_t mode);

// What the page's menus offer: colour matrices 1 to kLastColorMatrix (0 is none), exposure
// rounding modes 1 to kLastRoundingMode, and decode methods 0 (block) and 1 (interpolating).
constexpr uint16_t kLastColorMatrix = 5;
constexpr uint16_t kLastRoundingMode = 3;
constexpr uint32_t kLastDecodeMethod = 1;

// The saved settings block: kBlockBytes bytes of big-endian fields at these offsets.
namespace settings {
constexpr Size kBlockBytes = 114;
constexpr uint32_t kBlockVersion = 0x00010000;
// In the exposure and gain fields: the camera lacked the control; in the exposure field:
// automatic exposure.
constexpr uint32_t kAbsent = 0xFFFFFFFF;
constexpr uint32_t kAutomatic = 0xFFFFFFFE;
enum Field : size_t {
    kVersion = 0,
    kWindowLeft = 4,
    kWindowTop = 6,
    kWidth = 8,
    kHeight = 10,
    kSubsampling = 12,
    kControl0400 = 14,
    kExposure = 18,
    kGain = 22,
    kRedGain = 26,
    kGreen1Gain = 30,
    kGreen2Gain = 34,
    kBlueGain = 38,
    kMatrixIndex = 42,
    kHue = 44,
    kSaturation = 48,
    kGamma = 52,
    kBrightness = 56,
    kContrast = 60,
    kTargetRed = 64,
    kTargetGreen = 66,
    kTargetBlue = 68,
    kFlipHorizontal = 70,
    kFlipVertical = 71,
    kDecodeMethod = 72,
    kSaturationMark = 73,
    kSlowFrames = 74,
    kRounding = 75,
    kCooling = 76,
};
} // namespace settings

} // namespace qor::panel
