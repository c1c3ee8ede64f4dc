#include "platform/memory.h"

#include <qorvanta/status.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kBlockMagic = 0x48444C45; // 'HDLE'

// The master pointer comes first, so a handle (its address) is also the block header's.
struct BlockHeader {
    char *master;
    Size size;
    uint32_t magic;
    bool locked;
};
static_assert(offsetof(BlockHeader, master) == 0);

thread_local OSErr gLastMemError = noErr;

OSErr report(OSErr err) {
    gLastMemError = err;
    return err;
}

BlockHeader *headerOf(Handle h) {
    if (!h) return nullptr;
    auto *header = reinterpret_cast<BlockHeader *>(h);
    return header->magic == kBlockMagic ? header : nullptr;
}

Handle allocate(Size byteCount, bool clear) {
    if (byteCount < 0) {
        report(paramErr);
        return nullptr;
    }
    auto *header = new (std::nothrow) BlockHeader{nullptr, byteCount, kBlockMagic, false};
    // Zero-sized blocks still get storage, so the master pointer is never null while allocated.
    char *data = static_cast<char *>(clear ? std::calloc(1, size_t(byteCount) + 1)
                                           : std::malloc(size_t(byteCount) + 1));
    if (!header || !data) {
        delete header;
        std::free(data);
        report(memFullErr);
        return nullptr;
    }
    header->master = data;
    report(noErr);
    return &header->master;
}

} // namespace

Handle NewHandle(Size byteCount) {
    return allocate(byteCount, false);
}

Handle NewHandleClear(Size byteCount) {
    return allocate(byteCount, true);
}

void DisposeHandle(Handle h) {
    BlockHeader *header = headerOf(h);
    if (!header) {
        report(h ? OSErr(nilHandleErr) : OSErr(noErr));
        return;
    }
    std::free(header->master);
    header->master = nullptr;
    header->magic = 0;
    delete header;
    report(noErr);
}

Size GetHandleSize(Handle h) {
    BlockHeader *header = headerOf(h);
    if (!header) {
        report(nilHandleErr);
        return 0;
    }
    report(noErr);
    return header->size;
}

void SetHandleSize(Handle h, Size newSize) {
    BlockHeader *header = headerOf(h);
    if (!header) {
        report(nilHandleErr);
        return;
    }
    if (newSize < 0) {
        report(paramErr);
        return;
    }
    if (header->locked) {
        // A locked block may not move: it can shrink in place but not grow.
        if (newSize > header->size) {
            report(memLockedErr);
            return;
        }
        header->size = newSize;
        report(noErr);
        return;
    }
    char *data = static_cast<char *>(std::realloc(header->master, size_t(newSize) + 1));
    if (!data) {
        report(memFullErr);
        return;
    }
    if (newSize > header->size) std::memset(data + header->size, 0, size_t(newSize - header->size));
    header->master = data;
    header->size = newSize;
    report(noErr);
}

namespace {

void setLocked(Handle h, bool locked) {
    BlockHeader *header = headerOf(h);
    if (header) header->locked = locked;
    report(header ? OSErr(noErr) : OSErr(nilHandleErr));
}

} // namespace

void HLock(Handle h) {
    setLocked(h, true);
}

void HUnlock(Handle h) {
    setLocked(h, false);
}

OSErr MemError() {
    return gLastMemError;
}
