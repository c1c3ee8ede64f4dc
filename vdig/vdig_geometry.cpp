// Geometry, inputs and digitizer info: the digitizer describes a single camera input whose
// source rectangles are the whole sensor, and the image size the programmed window gives.
#include "vdig/vdig.h"

#include "platform/misc.h"
#include "platform/quickdraw.h"
#include "usb/camera_record.h"

#include <qorvanta/status.h>

namespace {

using qor::vdig::commonGuard;

// Flags a colour and a monochrome camera announce.
struct Flags {
    int32_t inputCapability, outputCapability, inputCurrent, outputCurrent;
    int32_t currentInput; // get-current-flags also names the composite input
};
constexpr Flags kColourFlags{0x00001181, 0x1A000020, int32_t(0x80001001), int32_t(0x9A000020),
                             int32_t(0x80001101)};
constexpr Flags kMonoFlags{0x00002181, 0x1A000028, int32_t(0x80002001), int32_t(0x9A000028),
                           int32_t(0x80002101)};
constexpr int16_t kMinDestWidth = 320;
constexpr int16_t kMinDestHeight = 240;

const Flags &flagsOf(const CameraRecord &r) {
    return r.colorSensor == 1 ? kColourFlags : kMonoFlags;
}

Rect sensorRect(const CameraRecord &r) {
    return Rect{0, 0, int16_t(r.maxHeight), int16_t(r.maxWidth)};
}

// A rectangle the digitizer can fill: replaced by the nearest acceptable one when it is not.
bool acceptableDestination(const CameraRecord &r, Rect *rect) {
    int16_t width = int16_t(rect->right - rect->left);
    int16_t height = int16_t(rect->bottom - rect->top);
    if (width > int16_t(r.maxWidth) || height > int16_t(r.maxHeight)) {
        *rect = sensorRect(r);
        return false;
    }
    if (width < kMinDestWidth || height < kMinDestHeight) {
        *rect = Rect{0, 0, kMinDestHeight, kMinDestWidth};
        return false;
    }
    return true;
}

} // namespace

ComponentResult vdigGetMaxSrcRect(Handle storage, int16_t, Rect *maxSrcRect) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!maxSrcRect) return qtParamErr;
    CameraRecord &r = *cameraRecord(storage);
    r.maxSrcRect = sensorRect(r);
    *maxSrcRect = r.maxSrcRect;
    return noErr;
}

ComponentResult vdigGetActiveSrcRect(Handle storage, int16_t, Rect *activeSrcRect) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!activeSrcRect) return qtParamErr;
    CameraRecord &r = *cameraRecord(storage);
    r.activeSrcRect = sensorRect(r);
    *activeSrcRect = r.activeSrcRect;
    return noErr;
}

ComponentResult vdigSetDigitizerRect(Handle storage, Rect *digitizerRect) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    CameraRecord &r = *cameraRecord(storage);
    Rect inside{};
    if (!digitizerRect || EmptyRect(digitizerRect) ||
        !SectRect(digitizerRect, &r.activeSrcRect, &inside) || !EqualRect(&inside, digitizerRect))
        return qtParamErr;
    r.digitizerRect = *digitizerRect;
    return noErr;
}

ComponentResult vdigGetDigitizerRect(Handle storage, Rect *digitizerRect) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!digitizerRect) return qtParamErr;
    *digitizerRect = cameraRecord(storage)->digitizerRect;
    return noErr;
}

ComponentResult vdigGetDigitizerInfo(Handle storage, DigitizerInfo *info) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!info) return qtParamErr;
    const CameraRecord &r = *cameraRecord(storage);
    const Flags &flags = flagsOf(r);
    *info = DigitizerInfo{};
    info->vdigType = 0;
    info->inputCapabilityFlags = flags.inputCapability;
    info->outputCapabilityFlags = flags.outputCapability;
    info->inputCurrentFlags = flags.inputCurrent;
    info->outputCurrentFlags = flags.outputCurrent;
    info->minDestHeight = kMinDestHeight;
    info->minDestWidth = kMinDestWidth;
    info->maxDestHeight = int16_t(r.maxHeight);
    info->maxDestWidth = int16_t(r.maxWidth);
    return noErr;
}

ComponentResult vdigGetCurrentFlags(Handle storage, long *inputCurrentFlag,
                                    long *outputCurrentFlag) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!inputCurrentFlag || !outputCurrentFlag) return qtParamErr;
    const Flags &flags = flagsOf(*cameraRecord(storage));
    *inputCurrentFlag = flags.currentInput;
    *outputCurrentFlag = flags.outputCurrent;
    return noErr;
}

ComponentResult vdigPreflightDestination(Handle storage, Rect *digitizerRect, PixMapHandle *dest,
                                         Rect *destRect, MatrixRecord *) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!destRect || !digitizerRect || !dest) return qtParamErr;
    const CameraRecord &r = *cameraRecord(storage);
    if (!acceptableDestination(r, destRect) || !acceptableDestination(r, digitizerRect))
        return notExactSizeErr;
    return noErr;
}

ComponentResult vdigGetNumberOfInputs(Handle storage, int16_t *inputs) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!inputs) return qtParamErr;
    *inputs = 0; // one input, counted from zero
    return noErr;
}

ComponentResult vdigGetInputFormat(Handle storage, int16_t, int16_t *format) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!format) return qtParamErr;
    *format = 0; // composite
    return noErr;
}

ComponentResult vdigSetInput(Handle storage, int16_t input) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    return input > 0 ? ComponentResult(qtParamErr) : noErr;
}

ComponentResult vdigGetInput(Handle storage, int16_t *input) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!input) return qtParamErr;
    *input = 0;
    return noErr;
}

ComponentResult vdigSetInputStandard(Handle storage, int16_t) {
    return commonGuard(storage);
}

ComponentResult vdigGetInputName(Handle storage, long, StringPtr name) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!name) return qtParamErr;
    CopyCStringToPascal(cameraRecord(storage)->cameraName, name);
    return noErr;
}

ComponentResult vidGetPreferredImageDimensions(Handle storage, long *width, long *height) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!width || !height) return qtParamErr;
    const CameraRecord &r = *cameraRecord(storage);
    *width = r.subSampleX ? r.imageWidth / r.subSampleX : r.imageWidth;
    *height = r.subSampleY ? r.imageHeight / r.subSampleY : r.imageHeight;
    return noErr;
}
