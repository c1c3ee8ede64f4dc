#include "platform/imagecompression.h"

#include "platform/memory.h"

#include <qorvanta/status.h>

#include <atomic>
#include <cstring>

namespace {

constexpr Size kDescriptionBytes = sizeof(ImageDescription);
constexpr Size kTableHeaderBytes = offsetof(ColorTable, ctTable);

// Bytes a table of ctSize + 1 entries takes, or -1 for an impossible size.
Size tableBytes(int16_t ctSize) {
    if (ctSize < -1) return -1;
    return kTableHeaderBytes + Size(ctSize + 1) * Size(sizeof(ColorSpec));
}

Handle asHandle(ImageDescriptionHandle desc) {
    return reinterpret_cast<Handle>(desc);
}

// Bytes of the colour table stored after the description (0 when there is none), or -1 when
// the description is too short or its idSize is inconsistent.
Size storedTableBytes(ImageDescriptionHandle desc) {
    Size handleBytes = GetHandleSize(asHandle(desc));
    if (handleBytes < kDescriptionBytes) return -1;
    Size idSize = (*desc)->idSize;
    if (idSize < kDescriptionBytes || idSize > handleBytes) return -1;
    Size bytes = idSize - kDescriptionBytes;
    if (bytes == 0) return 0;
    if (bytes < kTableHeaderBytes) return -1;
    int16_t ctSize;
    std::memcpy(&ctSize, *asHandle(desc) + kDescriptionBytes + offsetof(ColorTable, ctSize),
                sizeof ctSize);
    return tableBytes(ctSize) == bytes ? bytes : -1;
}

} // namespace

CTabHandle NewColorTable(int entries) {
    if (entries < 0 || entries > 0x8000) return nullptr;
    Handle h = NewHandleClear(tableBytes(int16_t(entries - 1)));
    if (!h) return nullptr;
    auto table = reinterpret_cast<CTabHandle>(h);
    (*table)->ctSize = int16_t(entries - 1);
    return table;
}

OSErr SetImageDescriptionCTable(ImageDescriptionHandle desc, CTabHandle ctable) {
    if (!desc) return nilHandleErr;
    if (GetHandleSize(asHandle(desc)) < kDescriptionBytes) return paramErr;
    Size bytes = 0;
    if (ctable) {
        Size available = GetHandleSize(reinterpret_cast<Handle>(ctable));
        bytes = tableBytes((*ctable)->ctSize);
        if (available < kTableHeaderBytes || bytes < 0 || available < bytes) return paramErr;
    }
    SetHandleSize(asHandle(desc), kDescriptionBytes + bytes);
    if (OSErr err = MemError(); err != noErr) return err;
    if (bytes) std::memcpy(*asHandle(desc) + kDescriptionBytes, *ctable, size_t(bytes));
    (*desc)->idSize = int32_t(kDescriptionBytes + bytes);
    return noErr;
}

OSErr GetImageDescriptionCTable(ImageDescriptionHandle desc, CTabHandle *ctable) {
    if (!ctable) return paramErr;
    *ctable = nullptr;
    if (!desc) return nilHandleErr;
    Size bytes = storedTableBytes(desc);
    if (bytes < 0) return paramErr;
    if (bytes == 0) return noErr;
    Handle copy = NewHandle(bytes);
    if (!copy) return memFullErr;
    std::memcpy(*copy, *asHandle(desc) + kDescriptionBytes, size_t(bytes));
    *ctable = reinterpret_cast<CTabHandle>(copy);
    return noErr;
}

long GetCTSeed() {
    static std::atomic<long> lastSeed{1024};
    return ++lastSeed;
}
