// Video digitizer requests as a client makes them: each call builds the request's parameter
// block and dispatches it to the digitizer instance.
#pragma once

#include "platform/components.h"
#include "platform/imagecompression.h"
#include "platform/timebase.h"

using VideoDigitizerComponent = ComponentInstance;
using VideoDigitizerError = ComponentResult;

constexpr OSType videoDigitizerComponentType = fourCharCode("vdig");

enum {
    kVDGetMaxSrcRectSelect = 1,
    kVDGetActiveSrcRectSelect = 2,
    kVDSetDigitizerRectSelect = 3,
    kVDGetDigitizerRectSelect = 4,
    kVDGetDigitizerInfoSelect = 25,
    kVDGetCurrentFlagsSelect = 26,
    kVDPreflightDestinationSelect = 50,
    kVDGetNumberOfInputsSelect = 60,
    kVDGetInputFormatSelect = 61,
    kVDSetInputSelect = 62,
    kVDGetInputSelect = 63,
    kVDSetInputStandardSelect = 64,
    kVDSetCompressionSelect = 68,
    kVDCompressOneFrameAsyncSelect = 69,
    kVDCompressDoneSelect = 70,
    kVDReleaseCompressBufferSelect = 71,
    kVDGetImageDescriptionSelect = 72,
    kVDResetCompressSequenceSelect = 73,
    kVDSetCompressionOnOffSelect = 74,
    kVDGetCompressionTypesSelect = 75,
    kVDSetTimeBaseSelect = 76,
    kVDSetFrameRateSelect = 77,
    kVDGetDataRateSelect = 78,
    kVDGetPreferredTimeScaleSelect = 81,
    kVDGetTimeCodeSelect = 85,
    kVDGetCompressionTimeSelect = 88,
    kVDSetPreferredImageDimensionsSelect = 90,
    kVDGetPreferredImageDimensionsSelect = 91,
    kVDGetInputNameSelect = 92,
    kVDGetDeviceNameAndFlagsSelect = 94,
    kVDCaptureStateChangingSelect = 95,
    kVDGetUniqueIDsSelect = 96,
    kVDSelectUniqueIDsSelect = 97,
    kVDQorvantaHookSelect = 0x02B8,
};

enum { vdDeviceFlagShowInputsAsDevices = 1 };

// Bits of the capture-state request.
enum {
    vdFlagCaptureStarting = 1 << 0,
    vdFlagCaptureStopping = 1 << 1,
    vdFlagCaptureIsForPreview = 1 << 2,
    vdFlagCaptureIsForRecord = 1 << 3,
};

struct DigitizerInfo {
    int16_t vdigType;
    int32_t inputCapabilityFlags;
    int32_t outputCapabilityFlags;
    int32_t inputCurrentFlags;
    int32_t outputCurrentFlags;
    int16_t slot;
    void *gdh;
    void *maskgdh;
    int16_t minDestHeight;
    int16_t minDestWidth;
    int16_t maxDestHeight;
    int16_t maxDestWidth;
    int16_t blendLevels;
    int32_t reserved;
};

// One entry of the compression types a digitizer offers: 148 bytes where the codec reference is
// four bytes wide, 152 with eight-byte pointers.
#pragma pack(push, 2)
struct VDCompressionList {
    void *codec;
    CodecType cType;
    unsigned char typeName[64];
    unsigned char name[64];
    int32_t formatFlags;
    int32_t compressFlags;
    int32_t reserved;
};
#pragma pack(pop)
using VDCompressionListHandle = VDCompressionList **;

VideoDigitizerError VDGetMaxSrcRect(VideoDigitizerComponent ci, short inputStd, Rect *maxSrcRect);
VideoDigitizerError VDGetActiveSrcRect(VideoDigitizerComponent ci, short inputStd,
                                       Rect *activeSrcRect);
VideoDigitizerError VDSetDigitizerRect(VideoDigitizerComponent ci, Rect *digitizerRect);
VideoDigitizerError VDGetDigitizerRect(VideoDigitizerComponent ci, Rect *digitizerRect);
VideoDigitizerError VDGetDigitizerInfo(VideoDigitizerComponent ci, DigitizerInfo *info);
VideoDigitizerError VDGetCurrentFlags(VideoDigitizerComponent ci, long *inputCurrentFlag,
                                      long *outputCurrentFlag);
VideoDigitizerError VDPreflightDestination(VideoDigitizerComponent ci, Rect *digitizerRect,
                                           PixMapHandle *dest, Rect *destRect, MatrixRecord *m);
VideoDigitizerError VDGetNumberOfInputs(VideoDigitizerComponent ci, short *inputs);
VideoDigitizerError VDGetInputFormat(VideoDigitizerComponent ci, short input, short *format);
VideoDigitizerError VDSetInput(VideoDigitizerComponent ci, short input);
VideoDigitizerError VDGetInput(VideoDigitizerComponent ci, short *input);
VideoDigitizerError VDSetInputStandard(VideoDigitizerComponent ci, short inputStandard);
VideoDigitizerError VDSetCompression(VideoDigitizerComponent ci, OSType compressType, short depth,
                                     Rect *bounds, CodecQ spatialQuality, CodecQ temporalQuality,
                                     long keyFrameRate);
VideoDigitizerError VDCompressOneFrameAsync(VideoDigitizerComponent ci);
VideoDigitizerError VDCompressDone(VideoDigitizerComponent ci, uint8_t *queuedFrameCount,
                                   Ptr *theData, long *dataSize, uint8_t *similarity,
                                   TimeRecord *t);
VideoDigitizerError VDReleaseCompressBuffer(VideoDigitizerComponent ci, Ptr bufferAddr);
VideoDigitizerError VDGetImageDescription(VideoDigitizerComponent ci, ImageDescriptionHandle desc);
VideoDigitizerError VDResetCompressSequence(VideoDigitizerComponent ci);
VideoDigitizerError VDSetCompressionOnOff(VideoDigitizerComponent ci, Boolean state);
VideoDigitizerError VDGetCompressionTypes(VideoDigitizerComponent ci, VDCompressionListHandle h);
VideoDigitizerError VDSetTimeBase(VideoDigitizerComponent ci, TimeBase t);
VideoDigitizerError VDSetFrameRate(VideoDigitizerComponent ci, Fixed framesPerSecond);
VideoDigitizerError VDGetDataRate(VideoDigitizerComponent ci, long *milliSecPerFrame,
                                  Fixed *framesPerSecond, long *bytesPerSecond);
VideoDigitizerError VDGetPreferredTimeScale(VideoDigitizerComponent ci, TimeScale *preferred);
VideoDigitizerError VDGetTimeCode(VideoDigitizerComponent ci, TimeRecord *atTime,
                                  void *timeCodeFormat, void *timeCodeTime);
VideoDigitizerError VDGetPreferredImageDimensions(VideoDigitizerComponent ci, long *width,
                                                  long *height);
VideoDigitizerError VDGetInputName(VideoDigitizerComponent ci, long videoInput, Str255 name);
VideoDigitizerError VDGetDeviceNameAndFlags(VideoDigitizerComponent ci, Str255 outName,
                                            uint32_t *outNameFlags);
VideoDigitizerError VDCaptureStateChanging(VideoDigitizerComponent ci, uint32_t inStateFlags);
VideoDigitizerError VDGetUniqueIDs(VideoDigitizerComponent ci, UInt64 *outDeviceID,
                                   UInt64 *outInputID);
VideoDigitizerError VDSelectUniqueIDs(VideoDigitizerComponent ci, const UInt64 *inDeviceID,
                                      const UInt64 *inInputID);
