// The panel component's entry point, its dispatch tables and its lifecycle requests.
#include "panel/panel.h"

#include "platform/memory.h"
#include "platform/resources.h"
#include "vdig/vdig.h"

#include <qorvanta/status.h>
#include <qorvanta/usb.h>
#include <qorvanta/vdig.h>

#include <cstring>
#include <type_traits>

namespace {

using Dispatcher = ComponentResult (*)(ComponentParameters *, Handle);

// The parameter-list description the dispatch tables carry for each handler: the 4-byte result
// in bits 4 and 5, then two bits per parameter (the storage first): 3 for four bytes (and for
// pointers, which travel as one parameter), 2 for two, 1 for one.
template <typename T> constexpr uint32_t parameterCode() {
    if constexpr (std::is_pointer_v<T> || sizeof(T) >= 4)
        return 3;
    else if constexpr (sizeof(T) == 2)
        return 2;
    else
        return 1;
}

template <typename... Params> constexpr uint32_t procInfoOf(ComponentResult (*)(Params...)) {
    uint32_t info = 3 << 4;
    int shift = 6;
    ((info |= parameterCode<Params>() << shift, shift += 2), ...);
    return info;
}

struct Entry {
    Dispatcher dispatch; // null: not implemented
    uint32_t procInfo;
};

// An entry whose stated description must match the handler's parameter list.
template <auto Handler, uint32_t ProcInfo> constexpr Entry entry() {
    static_assert(procInfoOf(Handler) == ProcInfo,
                  "the description does not match the handler's parameters");
    return {&qor::platform::callWithStorage<Handler>, ProcInfo};
}

constexpr Entry kUnimplemented{nullptr, 0};

// Selectors -6 .. -1.
constexpr Entry kStandardEntries[] = {
    kUnimplemented, // target
    entry<QORASGRegister, 0x0F0>(),
    entry<QORASGVersion, 0x0F0>(),
    entry<QORASGCanDo, 0x2F0>(),
    entry<QORASGClose, 0x3F0>(),
    entry<QORASGOpen, 0x3F0>(),
};

// Selectors 0x200 .. 0x20C.
constexpr Entry kPanelEntries[] = {
    entry<QORASGPanelGetDitl, 0x3F0>(),
    entry<QORASGPanelGetTitle, 0x3F0>(),
    entry<QORASGPanelCanRun, 0x3F0>(),
    entry<QORASGPanelInstall, 0x2FF0>(),
    entry<QORASGPanelEvent, 0xFEFF0>(),
    entry<QORASGPanelItem, 0xAFF0>(),
    entry<QORASGPanelRemove, 0x2FF0>(),
    entry<QORASGPanelSetGrabber, 0x3F0>(),
    entry<QORASGPanelSetResFile, 0x2F0>(),
    entry<QORASGPanelGetSettings, 0x3FF0>(),
    entry<QORASGPanelSetSettings, 0x3FF0>(),
    entry<QORASGPanelValidateInput, 0x3F0>(),
    kUnimplemented, // set event filter
};

struct Range {
    int16_t count;
    int16_t reserved;
    const Entry *entries;
};

constexpr Range kRanges[] = {
    {int16_t(std::size(kStandardEntries)), 0, kStandardEntries},
    {0, 0, nullptr},
    {0, 0, nullptr},
    {int16_t(std::size(kPanelEntries)), 0, kPanelEntries},
};

constexpr int kStandardSelectorCount = 6;

// The table entry of a selector, or null when it has none.
const Entry *lookUp(int16_t selector) {
    if (selector < 0) {
        const int index = selector + kStandardSelectorCount;
        if (index < 0) return nullptr;
        return index < kRanges[0].count ? &kRanges[0].entries[index] : nullptr;
    }
    const int range = selector >> 8;
    if (range > 2) return nullptr;
    const Range &row = kRanges[range + 1];
    const int index = selector & 0xFF;
    return index < row.count ? &row.entries[index] : nullptr;
}

PanelGlobals *globalsOf(Handle storage) {
    return storage && *storage ? reinterpret_cast<PanelGlobals *>(*storage) : nullptr;
}

constexpr unsigned char kTitle[] = "\x10Qorvanta Options";
static_assert(sizeof kTitle - 1 == 17);

// The platform finds the component's entry point by the name its registration resource gives,
// as it would find the bundle's exported symbol.
[[maybe_unused]] const bool kEntryPointAdded =
    (qor::platform::addComponentEntryPoint("QORASGComponentDispatch", QORASGComponentDispatch),
     true);

} // namespace

ComponentResult QORASGComponentDispatch(ComponentParameters *params, Handle storage) {
    if (!params) return badComponentSelector;
    const Entry *e = lookUp(params->what);
    if (!e || !e->dispatch || e->procInfo == 0) return badComponentSelector;
    return e->dispatch(params, storage);
}

ComponentResult QORASGCanDo(Handle, int16_t selector) {
    const Entry *e = lookUp(selector);
    return e && e->dispatch ? 1 : 0;
}

ComponentResult QORASGOpen(Handle, ComponentInstance self) {
    if (CountComponentInstances(componentOf(self)) > 1) return -1;
    Handle globals = NewHandleClear(sizeof(PanelGlobals));
    if (!globals) return MemError() ? ComponentResult(MemError()) : ComponentResult(memFullErr);
    PanelGlobals &g = *globalsOf(globals);
    g.self = self;
    g.resFile = -1;
    SetComponentInstanceStorage(self, globals);
    return noErr;
}

ComponentResult QORASGClose(Handle storage, ComponentInstance) {
    if (storage) DisposeHandle(storage);
    return noErr;
}

ComponentResult QORASGVersion(Handle) {
    return kPanelInterfaceVersion;
}

ComponentResult QORASGRegister(Handle storage) {
    const int32_t result = QORUSBInitializeLoader();
    if (result == 0)
        if (PanelGlobals *g = globalsOf(storage)) g->loaderStarted = 1;
    return result;
}

ComponentResult QORASGPanelGetDitl(Handle storage, Handle *ditl) {
    if (!ditl) return qtParamErr;
    *ditl = nullptr;
    PanelGlobals *g = globalsOf(storage);
    if (!g) return badCallOrderErr;
    const int16_t saved = CurResFile();
    UseResFile(g->resFile);
    Handle resource = GetResource(fourCharCode("DITL"), kPanelDitlID);
    OSErr result = ResError();
    if (resource) {
        DetachResource(resource);
        *ditl = resource;
        result = ResError();
    } else if (result == noErr) {
        result = memFullErr;
    }
    UseResFile(saved);
    return result;
}

ComponentResult QORASGPanelGetTitle(Handle, StringPtr title) {
    if (!title) return qtParamErr;
    std::memcpy(title, kTitle, sizeof kTitle - 1);
    return noErr;
}

ComponentResult QORASGPanelCanRun(Handle, SGChannel c) {
    if (!c) return qtParamErr;
    ComponentInstance vdig = SGGetVideoDigitizerComponent(c);
    if (!vdig) return qtParamErr;
    Handle name = NewHandle(0);
    ComponentDescription cd{};
    ComponentResult result = GetComponentInfo(componentOf(vdig), &cd, name, nullptr, nullptr);
    if (result == noErr && (cd.componentType != videoDigitizerComponentType ||
                            cd.componentSubType != kQorvantaVdigSubType ||
                            cd.componentManufacturer != kQorvantaManufacturer))
        result = badComponentType;
    if (name) DisposeHandle(name);
    return result;
}

ComponentResult QORASGPanelEvent(Handle, SGChannel, DialogRef, int16_t, EventRecord *, int16_t *,
                                 Boolean *handled) {
    if (handled) *handled = false;
    return noErr;
}

ComponentResult QORASGPanelValidateInput(Handle, Boolean *ok) {
    if (ok) *ok = true;
    return noErr;
}

ComponentResult QORASGPanelSetGrabber(Handle storage, SeqGrabComponent grabber) {
    PanelGlobals *g = globalsOf(storage);
    if (!g) return badCallOrderErr;
    g->seqGrabber = grabber;
    return noErr;
}

ComponentResult QORASGPanelSetResFile(Handle storage, int16_t resRef) {
    PanelGlobals *g = globalsOf(storage);
    if (!g) return badCallOrderErr;
    g->resFile = resRef;
    return noErr;
}

namespace qor::panel {

ComponentResult cameraOfChannel(SGChannel c, Handle *camera) {
    *camera = nullptr;
    if (ComponentResult result = QORASGPanelCanRun(nullptr, c)) return result;
    return QORVANTAHook(SGGetVideoDigitizerComponent(c), camera);
}

} // namespace qor::panel
