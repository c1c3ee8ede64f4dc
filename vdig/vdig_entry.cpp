#include "vdig/vdig.h"

#include <qorvanta/status.h>

namespace {

using Dispatcher = ComponentResult (*)(ComponentParameters *, Handle);

struct SelectorEntry {
    int16_t selector;
    Dispatcher dispatch;
};

template <auto Handler> constexpr SelectorEntry withStorage(int16_t selector) {
    return {selector, &qor::platform::callWithStorage<Handler>};
}

template <auto Handler> constexpr SelectorEntry withoutStorage(int16_t selector) {
    return {selector, &qor::platform::callWithoutStorage<Handler>};
}

// Requests this digitizer answers. Any other selector, among them the buffer-based grab
// requests, compression time and set-preferred-image-dimensions, is unimplemented.
constexpr SelectorEntry kSelectorTable[] = {
    withoutStorage<vdigOpen>(kComponentOpenSelect),
    withStorage<vdigClose>(kComponentCloseSelect),
    withStorage<vdigCanDo>(kComponentCanDoSelect),
    withStorage<vdigGetMaxSrcRect>(kVDGetMaxSrcRectSelect),
    withStorage<vdigGetActiveSrcRect>(kVDGetActiveSrcRectSelect),
    withStorage<vdigSetDigitizerRect>(kVDSetDigitizerRectSelect),
    withStorage<vdigGetDigitizerRect>(kVDGetDigitizerRectSelect),
    withStorage<vdigGetDigitizerInfo>(kVDGetDigitizerInfoSelect),
    withStorage<vdigGetCurrentFlags>(kVDGetCurrentFlagsSelect),
    withStorage<vdigPreflightDestination>(kVDPreflightDestinationSelect),
    withStorage<vdigGetNumberOfInputs>(kVDGetNumberOfInputsSelect),
    withStorage<vdigGetInputFormat>(kVDGetInputFormatSelect),
    withStorage<vdigSetInput>(kVDSetInputSelect),
    withStorage<vdigGetInput>(kVDGetInputSelect),
    withStorage<vdigSetInputStandard>(kVDSetInputStandardSelect),
    withStorage<vdigSetCompression>(kVDSetCompressionSelect),
    withStorage<vdigCompressOneFrameAsync>(kVDCompressOneFrameAsyncSelect),
    withStorage<vdigCompressDone>(kVDCompressDoneSelect),
    withStorage<vdigReleaseCompressBuffer>(kVDReleaseCompressBufferSelect),
    withStorage<vdigGetImageDescription>(kVDGetImageDescriptionSelect),
    withStorage<vdigResetCompressSequence>(kVDResetCompressSequenceSelect),
    withStorage<vdigSetCompressionOnOff>(kVDSetCompressionOnOffSelect),
    withStorage<vdigGetCompressionTypes>(kVDGetCompressionTypesSelect),
    withStorage<vdigSetTimeBase>(kVDSetTimeBaseSelect),
    withStorage<vdigSetFrameRate>(kVDSetFrameRateSelect),
    withStorage<vdigGetDataRate>(kVDGetDataRateSelect),
    withStorage<vdigGetPreferredTimeScale>(kVDGetPreferredTimeScaleSelect),
    withStorage<vdigGetTimeCode>(kVDGetTimeCodeSelect),
    withStorage<vdigCaptureStateChanging>(kVDCaptureStateChangingSelect),
    withStorage<vdigGetInputName>(kVDGetInputNameSelect),
    withStorage<vidGetPreferredImageDimensions>(kVDGetPreferredImageDimensionsSelect),
    withStorage<vdigVersion>(kComponentVersionSelect),
    withStorage<vdigRegister>(kComponentRegisterSelect),
    withStorage<vdigGetDeviceNameAndFlags>(kVDGetDeviceNameAndFlagsSelect),
    withStorage<vdigGetUniqueIDs>(kVDGetUniqueIDsSelect),
    withStorage<vdigSelectUniqueIDs>(kVDSelectUniqueIDsSelect),
    withStorage<vdigQorvantaHook>(kVDQorvantaHookSelect),
};

} // namespace

ComponentResult vdigMainEntry(ComponentParameters *params, Handle storage) {
    if (!params) return badComponentSelector;
    for (const SelectorEntry &entry : kSelectorTable)
        if (entry.selector == params->what) return entry.dispatch(params, storage);
    return badComponentSelector;
}
