// The raw frame buffers: three page-aligned regions of one anonymous mapping, each followed by
// at least a page of slack, and the scratch row of the vertical flip.
#include "stream/stream_internal.h"

#include <qorvanta/status.h>
#include <qorvanta/stream.h>

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// The vertical flip's scratch row is this much longer than a raw row.
constexpr uint32_t kLineBufferSlack = 16;

uintptr_t roundDown(uintptr_t value, uintptr_t page) {
    return value / page * page;
}

void releaseBuffers(CameraRecord &record) {
    if (record.lineBuffer) {
        std::free(record.lineBuffer);
        record.lineBuffer = nullptr;
    }
    if (record.rawBufferMap) {
        munmap(record.rawBufferMap, record.rawBufferMapSize);
        record.rawBufferMap = nullptr;
        record.rawBufferMapSize = 0;
    }
    for (uint8_t *&buffer : record.rawBuffers) buffer = nullptr;
    record.buffersAllocated = 0;
}

// The buffers must not change while a read may still land in one of them: a stream, or a
// thread left behind by a streaming error, ends first. False when the thread did not end, and
// the buffers must stay.
bool endStream(CameraHandle camera) {
    if (cameraRecord(camera)->streamThread) QORUSBStopQuedAsynchBulkReads(camera);
    return cameraRecord(camera)->streamThread == 0;
}

} // namespace

extern "C" {

int32_t QORACreateCameraBuffers(Handle camera) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return kIOReturnNoDevice;
    if (!endStream(camera)) return kIOReturnTimeout;
    releaseBuffers(*record);
    record->rawFrameBytes = record->rawWidth * record->rawHeight;

    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t frame = record->rawFrameBytes;
    const uintptr_t size = kRawBufferCount * (page + frame) + 2 * page;
    if (size > UINT32_MAX) return memFullErr;
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
    if (map == MAP_FAILED) return memFullErr;
    record->rawBufferMap = map;
    record->rawBufferMapSize = uint32_t(size);

    uintptr_t buffer = roundDown(reinterpret_cast<uintptr_t>(map) + page - 1, page);
    for (uint8_t *&raw : record->rawBuffers) {
        raw = reinterpret_cast<uint8_t *>(buffer);
        buffer = roundDown(buffer + frame + 2 * page - 1, page);
    }

    record->lineBuffer = static_cast<uint8_t *>(std::malloc(record->rawWidth + kLineBufferSlack));
    if (!record->lineBuffer) {
        releaseBuffers(*record);
        return memFullErr;
    }
    record->buffersAllocated = 1;
    return 0;
}

int32_t QORADisposeCameraBuffers(Handle camera) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return kIOReturnNoDevice;
    if (!endStream(camera)) return kIOReturnTimeout;
    releaseBuffers(*record);
    return 0;
}

} // extern "C"
