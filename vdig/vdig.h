// The video digitizer component: entry point and request handlers. Each handler takes the
// instance storage (the camera record handle) first, then the request's own parameters.
#pragma once

#include "platform/components.h"
#include "platform/videodigitizer.h"

constexpr OSType kQorvantaVdigSubType = fourCharCode("QOCA");
constexpr OSType kQorvantaManufacturer = fourCharCode("QORN");
constexpr int32_t kVdigInterfaceVersion = 0x00020001;

ComponentResult vdigMainEntry(ComponentParameters *params, Handle storage);

// Open takes the instance being opened (there is no storage yet); close disposes the storage.
ComponentResult vdigOpen(ComponentInstance self);
ComponentResult vdigClose(Handle storage, ComponentInstance self);
ComponentResult vdigCanDo(Handle storage, int32_t selector);
ComponentResult vdigGetMaxSrcRect(Handle storage, int16_t inputStd, Rect *maxSrcRect);
ComponentResult vdigGetActiveSrcRect(Handle storage, int16_t inputStd, Rect *activeSrcRect);
ComponentResult vdigSetDigitizerRect(Handle storage, Rect *digitizerRect);
ComponentResult vdigGetDigitizerRect(Handle storage, Rect *digitizerRect);
ComponentResult vdigGetDigitizerInfo(Handle storage, DigitizerInfo *info);
ComponentResult vdigGetCurrentFlags(Handle storage, long *inputCurrentFlag,
                                    long *outputCurrentFlag);
ComponentResult vdigPreflightDestination(Handle storage, Rect *digitizerRect, PixMapHandle *dest,
                                         Rect *destRect, MatrixRecord *matrix);
ComponentResult vdigGetNumberOfInputs(Handle storage, int16_t *inputs);
ComponentResult vdigGetInputFormat(Handle storage, int16_t input, int16_t *format);
ComponentResult vdigSetInput(Handle storage, int16_t input);
ComponentResult vdigGetInput(Handle storage, int16_t *input);
ComponentResult vdigSetInputStandard(Handle storage, int16_t inputStandard);
ComponentResult vdigGetInputName(Handle storage, long videoInput, StringPtr name);
ComponentResult vidGetPreferredImageDimensions(Handle storage, long *width, long *height);
ComponentResult vdigGetCompressionTypes(Handle storage, VDCompressionListHandle list);
ComponentResult vdigSetCompression(Handle storage, OSType compressType, int16_t depth, Rect *bounds,
                                   CodecQ spatialQuality, CodecQ temporalQuality,
                                   long keyFrameRate);
ComponentResult vdigSetCompressionOnOff(Handle storage, Boolean state);
ComponentResult vdigGetImageDescription(Handle storage, ImageDescriptionHandle desc);
ComponentResult vdigSetTimeBase(Handle storage, TimeBase timeBase);
ComponentResult vdigSetFrameRate(Handle storage, Fixed framesPerSecond);
ComponentResult vdigGetDataRate(Handle storage, long *milliSecPerFrame, Fixed *framesPerSecond,
                                long *bytesPerSecond);
ComponentResult vdigGetPreferredTimeScale(Handle storage, TimeScale *preferred);
ComponentResult vdigGetTimeCode(Handle storage, TimeRecord *atTime, TimeCodeDef *timeCodeFormat,
                                TimeCodeTime *timeCodeTime);
ComponentResult vdigCaptureStateChanging(Handle storage, uint32_t flags);
ComponentResult vdigCompressOneFrameAsync(Handle storage);
ComponentResult vdigCompressDone(Handle storage, uint8_t *queuedFrameCount, Ptr *theData,
                                 long *dataSize, uint8_t *similarity, TimeRecord *t);
ComponentResult vdigReleaseCompressBuffer(Handle storage, Ptr bufferAddr);
ComponentResult vdigResetCompressSequence(Handle storage);
ComponentResult vdigVersion(Handle storage);
ComponentResult vdigRegister(Handle storage);
ComponentResult vdigQorvantaHook(Handle storage, Handle *cameraHandle);
ComponentResult vdigGetUniqueIDs(Handle storage, UInt64 *outDeviceID, UInt64 *outInputID);
ComponentResult vdigSelectUniqueIDs(Handle storage, const UInt64 *inDeviceID,
                                    const UInt64 *inInputID);
ComponentResult vdigGetDeviceNameAndFlags(Handle storage, StringPtr outName,
                                          uint32_t *outNameFlags);

namespace qor::vdig {

// The guard every request but can-do, version and register begins with: badCallOrderErr for a
// missing record, kIOReturnNoDevice once the camera has been unplugged; 0 when the request
// may go on.
ComponentResult commonGuard(Handle storage);

} // namespace qor::vdig

struct CameraRecord;

namespace qor::vdig {

// The data rate the frame-rate policy asks for: the lowest when slow frames are allowed, the
// highest otherwise (nothing when the camera listed none).
void selectDataRate(Handle camera, CameraRecord &r);
// Frame rate and period of frames of `pixels` pixels at the record's data rate; the period is
// held to half a second unless slow frames are allowed.
void setFrameTiming(CameraRecord &r, uint32_t pixels);

// Time codes are offered unless the running QuickTime is one of the 6.0.2 to 6.5.x releases,
// whose time-code handling breaks with digitizers that supply their own; a failing Gestalt
// means no time codes either.
uint8_t timeCodeSupportedByQuickTime();

} // namespace qor::vdig
