#include "platform/videodigitizer.h"

using qor::platform::callComponent;

VideoDigitizerError VDGetMaxSrcRect(VideoDigitizerComponent ci, short inputStd, Rect *maxSrcRect) {
    return callComponent(ci, kVDGetMaxSrcRectSelect, inputStd, maxSrcRect);
}

VideoDigitizerError VDGetActiveSrcRect(VideoDigitizerComponent ci, short inputStd,
                                       Rect *activeSrcRect) {
    return callComponent(ci, kVDGetActiveSrcRectSelect, inputStd, activeSrcRect);
}

VideoDigitizerError VDSetDigitizerRect(VideoDigitizerComponent ci, Rect *digitizerRect) {
    return callComponent(ci, kVDSetDigitizerRectSelect, digitizerRect);
}

VideoDigitizerError VDGetDigitizerRect(VideoDigitizerComponent ci, Rect *digitizerRect) {
    return callComponent(ci, kVDGetDigitizerRectSelect, digitizerRect);
}

VideoDigitizerError VDGetDigitizerInfo(VideoDigitizerComponent ci, DigitizerInfo *info) {
    return callComponent(ci, kVDGetDigitizerInfoSelect, info);
}

VideoDigitizerError VDGetCurrentFlags(VideoDigitizerComponent ci, long *inputCurrentFlag,
                                      long *outputCurrentFlag) {
    return callComponent(ci, kVDGetCurrentFlagsSelect, inputCurrentFlag, outputCurrentFlag);
}

VideoDigitizerError VDPreflightDestination(VideoDigitizerComponent ci, Rect *digitizerRect,
                                           PixMapHandle *dest, Rect *destRect, MatrixRecord *m) {
    return callComponent(ci, kVDPreflightDestinationSelect, digitizerRect, dest, destRect, m);
}

VideoDigitizerError VDGetNumberOfInputs(VideoDigitizerComponent ci, short *inputs) {
    return callComponent(ci, kVDGetNumberOfInputsSelect, inputs);
}

VideoDigitizerError VDGetInputFormat(VideoDigitizerComponent ci, short input, short *format) {
    return callComponent(ci, kVDGetInputFormatSelect, input, format);
}

VideoDigitizerError VDSetInput(VideoDigitizerComponent ci, short input) {
    return callComponent(ci, kVDSetInputSelect, input);
}

VideoDigitizerError VDGetInput(VideoDigitizerComponent ci, short *input) {
    return callComponent(ci, kVDGetInputSelect, input);
}

VideoDigitizerError VDSetInputStandard(VideoDigitizerComponent ci, short inputStandard) {
    return callComponent(ci, kVDSetInputStandardSelect, inputStandard);
}

VideoDigitizerError VDSetCompression(VideoDigitizerComponent ci, OSType compressType, short depth,
                                     Rect *bounds, CodecQ spatialQuality, CodecQ temporalQuality,
                                     long keyFrameRate) {
    return callComponent(ci, kVDSetCompressionSelect, compressType, depth, bounds, spatialQuality,
                         temporalQuality, keyFrameRate);
}

VideoDigitizerError VDCompressOneFrameAsync(VideoDigitizerComponent ci) {
    return callComponent(ci, kVDCompressOneFrameAsyncSelect);
}

VideoDigitizerError VDCompressDone(VideoDigitizerComponent ci, uint8_t *queuedFrameCount,
                                   Ptr *theData, long *dataSize, uint8_t *similarity,
                                   TimeRecord *t) {
    return callComponent(ci, kVDCompressDoneSelect, queuedFrameCount, theData, dataSize, similarity,
                         t);
}

VideoDigitizerError VDReleaseCompressBuffer(VideoDigitizerComponent ci, Ptr bufferAddr) {
    return callComponent(ci, kVDReleaseCompressBufferSelect, bufferAddr);
}

VideoDigitizerError VDGetImageDescription(VideoDigitizerComponent ci, ImageDescriptionHandle desc) {
    return callComponent(ci, kVDGetImageDescriptionSelect, desc);
}

VideoDigitizerError VDResetCompressSequence(VideoDigitizerComponent ci) {
    return callComponent(ci, kVDResetCompressSequenceSelect);
}

VideoDigitizerError VDSetCompressionOnOff(VideoDigitizerComponent ci, Boolean state) {
    return callComponent(ci, kVDSetCompressionOnOffSelect, state);
}

VideoDigitizerError VDGetCompressionTypes(VideoDigitizerComponent ci, VDCompressionListHandle h) {
    return callComponent(ci, kVDGetCompressionTypesSelect, h);
}

VideoDigitizerError VDSetTimeBase(VideoDigitizerComponent ci, TimeBase t) {
    return callComponent(ci, kVDSetTimeBaseSelect, t);
}

VideoDigitizerError VDSetFrameRate(VideoDigitizerComponent ci, Fixed framesPerSecond) {
    return callComponent(ci, kVDSetFrameRateSelect, framesPerSecond);
}

VideoDigitizerError VDGetDataRate(VideoDigitizerComponent ci, long *milliSecPerFrame,
                                  Fixed *framesPerSecond, long *bytesPerSecond) {
    return callComponent(ci, kVDGetDataRateSelect, milliSecPerFrame, framesPerSecond,
                         bytesPerSecond);
}

VideoDigitizerError VDGetPreferredTimeScale(VideoDigitizerComponent ci, TimeScale *preferred) {
    return callComponent(ci, kVDGetPreferredTimeScaleSelect, preferred);
}

VideoDigitizerError VDGetTimeCode(VideoDigitizerComponent ci, TimeRecord *atTime,
                                  void *timeCodeFormat, void *timeCodeTime) {
    return callComponent(ci, kVDGetTimeCodeSelect, atTime, timeCodeFormat, timeCodeTime);
}

VideoDigitizerError VDGetPreferredImageDimensions(VideoDigitizerComponent ci, long *width,
                                                  long *height) {
    return callComponent(ci, kVDGetPreferredImageDimensionsSelect, width, height);
}

VideoDigitizerError VDGetInputName(VideoDigitizerComponent ci, long videoInput, Str255 name) {
    return callComponent(ci, kVDGetInputNameSelect, videoInput, name);
}

VideoDigitizerError VDGetDeviceNameAndFlags(VideoDigitizerComponent ci, Str255 outName,
                                            uint32_t *outNameFlags) {
    return callComponent(ci, kVDGetDeviceNameAndFlagsSelect, outName, outNameFlags);
}

VideoDigitizerError VDCaptureStateChanging(VideoDigitizerComponent ci, uint32_t inStateFlags) {
    return callComponent(ci, kVDCaptureStateChangingSelect, inStateFlags);
}

VideoDigitizerError VDGetUniqueIDs(VideoDigitizerComponent ci, UInt64 *outDeviceID,
                                   UInt64 *outInputID) {
    return callComponent(ci, kVDGetUniqueIDsSelect, outDeviceID, outInputID);
}

VideoDigitizerError VDSelectUniqueIDs(VideoDigitizerComponent ci, const UInt64 *inDeviceID,
                                      const UInt64 *inInputID) {
    return callComponent(ci, kVDSelectUniqueIDsSelect, inDeviceID, inInputID);
}
