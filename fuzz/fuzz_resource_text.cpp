// Resource files in the bundle's text format, as the platform reads a panel's file: parsed,
// their components registered, and the page's item list decoded. The item-list decoder also
// gets the input as raw bytes.
#include "panel/panel.h"
#include "platform/components.h"
#include "platform/dialogs.h"
#include "platform/memory.h"
#include "platform/resources.h"

#include <qorvanta/status.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Stands in for the panel's entry point, so that registration is exercised without running the
// loader: it accepts the register request and nothing else.
ComponentResult probeEntry(ComponentParameters *params, Handle) {
    return params->what == kComponentRegisterSelect ? 0 : badComponentSelector;
}

void unregisterEverything() {
    ComponentDescription any{};
    while (Component c = FindNextComponent(nullptr, &any))
        if (UnregisterComponent(c) != noErr) break;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qor::platform::addComponentEntryPoint("QORASGComponentDispatch", probeEntry);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<qor::platform::DialogItemDescription> items;
    qor::platform::decodeItemList(reinterpret_cast<const char *>(data), size, &items);

    const std::string text(reinterpret_cast<const char *>(data), size);
    int16_t ref = qor::platform::openResourceText(text, "fuzz");
    if (ref <= 0) return 0;
    RegisterComponentResourceFile(ref, 0);
    if (Handle ditl = GetResource(fourCharCode("DITL"), kPanelDitlID)) {
        items.clear();
        qor::platform::decodeItemList(*ditl, size_t(GetHandleSize(ditl)), &items);
    }
    unregisterEverything();
    CloseResFile(ref);
    return 0;
}
