// The completion routine of the bulk read: it re-queues the next read at once, then turns the
// completed raw frame into a decoded frame in the digitizer's ring (colour-balance step, time
// stamp, flips, demosaic, colour matrix, saturation mark) and advances the ring.
#include "stream/stream_internal.h"

#include "camera/video_controls.h"
#include "platform/misc.h"

#include <qorvanta/imaging.h>
#include <qorvanta/status.h>

#include <atomic>
#include <cstdio>

namespace {

constexpr uint32_t kMostFramesReady = 9;

// The processing settings the panel may change while frames arrive, read once per frame.
struct FrameSettings {
    uint8_t flipHorizontal, flipVertical;
    uint32_t bayerPattern, decodeMethod, outputFormat;
    uint16_t colorMatrixIndex;
    uint8_t colorSensor, saturationMarkOn;
    float colorMatrix[9];
};

FrameSettings readSettings(CameraRecord &record) {
    constexpr auto relaxed = std::memory_order_relaxed;
    FrameSettings s{};
    s.flipHorizontal = atomicField(record.flipHorizontal).load(relaxed);
    s.flipVertical = atomicField(record.flipVertical).load(relaxed);
    s.bayerPattern = atomicField(record.bayerPattern).load(relaxed);
    s.decodeMethod = atomicField(record.decodeMethod).load(relaxed);
    s.outputFormat = atomicField(record.outputFormat).load(relaxed);
    s.colorSensor = atomicField(record.colorSensor).load(relaxed);
    s.saturationMarkOn = atomicField(record.saturationMarkOn).load(relaxed);
    s.colorMatrixIndex = readColorMatrix(record, s.colorMatrix);
    return s;
}

void countLoss(uint32_t &counter) {
    atomicField(counter).fetch_add(1, std::memory_order_relaxed);
}

// A read with any other length than a frame, or an overrun, has lost the frame boundary: video
// restarts in the camera and the same buffer is read again.
void restartAfterBadTransfer(CameraHandle camera, CameraRecord &record, uint32_t bytesRead) {
    std::fprintf(stderr,
                 "myQueBulKPipeDataCallBackFunction WRONG numBytesRead %d expectd %d bytes\n",
                 int(bytesRead), int(record.rawFrameBytes));
    countLoss(record.framesLostInTransfer);
    qor::stream::writeVideoState(camera, false);
    if (IOUSBInterfaceInterface **intf = record.interfaceInterface) {
        (*intf)->ClearPipeStallBothEnds(intf, record.bulkInPipe);
        (*intf)->AbortPipe(intf, record.bulkInPipe);
    }
    qor::stream::writeVideoState(camera, true);
    const uint32_t same = atomicField(record.rawBufferIndex).load(std::memory_order_relaxed);
    IOReturn error = qor::stream::queueFrameRead(camera, record, same);
    if (error != kIOReturnSuccess) {
        atomicField(record.streamError).store(error);
        atomicField(record.streaming).store(0);
    }
}

// Frame time in milliseconds from the stream's first processed frame, which defines time 0.
double stampFrame(CameraRecord &record, uint64_t now) {
    auto lastFrameMs = atomicField(record.lastFrameMs);
    double ms = 0.0;
    if (lastFrameMs.load() < 0.0)
        record.streamStartUs = uint64ToWide(now);
    else
        ms = double(now - wideToUInt64(record.streamStartUs)) * 0.001;
    lastFrameMs.store(ms);
    record.lastFrameUs = uint64ToWide(now);
    return ms;
}

// Hands the slot just written to the client side: the slot's pixels and time are complete
// before the indices and the count that publish it (release).
void advanceRing(CameraRecord &record, uint32_t written) {
    const uint32_t next = (written + 1) % kFrameSlotCount;
    uint32_t readSlot = atomicField(record.readSlot).load(std::memory_order_acquire);
    if (next == readSlot) {
        // Full: the next frame goes into the same slot, and this one is lost.
        countLoss(record.framesOverwritten);
        return;
    }
    atomicField(record.writeSlot).store(next, std::memory_order_release);
    atomicField(record.lastFilledSlot).store(written, std::memory_order_release);
    if (readSlot == kNoSlot)
        atomicField(record.readSlot)
            .compare_exchange_strong(readSlot, written, std::memory_order_release);
    auto framesReady = atomicField(record.framesReady);
    if (framesReady.load() <= kMostFramesReady - 1)
        framesReady.fetch_add(1, std::memory_order_release);
}

void assembleFrame(CameraHandle camera, CameraRecord &record, IOReturn result, uint32_t bytesRead) {
    if (bytesRead != record.rawFrameBytes || result == kIOReturnOverrun) {
        restartAfterBadTransfer(camera, record, bytesRead);
        return;
    }
    // Any other error with the whole frame read still delivered a frame.
    auto bufferIndex = atomicField(record.rawBufferIndex);
    const uint32_t completed = bufferIndex.load(std::memory_order_relaxed);
    const uint32_t next = (completed + 1) % kRawBufferCount;
    bufferIndex.store(next, std::memory_order_relaxed);
    const uint64_t now = qor::platform::microseconds();
    IOReturn error = qor::stream::queueFrameRead(camera, record, next);
    if (error != kIOReturnSuccess) {
        atomicField(record.streamError).store(error);
        atomicField(record.streaming).store(0);
        countLoss(record.framesLostInTransfer);
        return;
    }
    if (atomicField(record.framesWanted).load(std::memory_order_acquire) == 0) {
        countLoss(record.framesUnrequested);
        return;
    }

    uint8_t *raw = record.rawBuffers[completed];
    if (atomicField(record.colorBalanceActive).load() == 1)
        qor::camera::colorBalanceStep(camera, raw);
    const uint32_t slot = atomicField(record.writeSlot).load(std::memory_order_relaxed);
    atomicField(record.slotFrameMs[slot]).store(stampFrame(record, now), std::memory_order_relaxed);
    if (uint8_t *destination = record.frameSlots[slot])
        qor::stream::decodeFrame(record, raw, destination);
    advanceRing(record, slot);
}

} // namespace

void myQueBulKPipeDataCallBackFunction(void *refcon, IOReturn result, void *arg0) {
    qor::stream::noteReadCompleted();
    CameraHandle camera = static_cast<CameraHandle>(refcon);
    CameraRecord *record = cameraRecord(camera);
    // The stop's abort and stale completions end here.
    if (!record || atomicField(record->streaming).load() == 0 || result == kIOReturnAborted) return;
    auto inFlight = atomicField(record->callbacksInFlight);
    inFlight.fetch_add(1);
    // The stop clears streaming, then waits for callbacks in flight: one that passed the check
    // above in between sees the cleared flag here.
    if (atomicField(record->streaming).load() != 0)
        assembleFrame(camera, *record, result, uint32_t(reinterpret_cast<uintptr_t>(arg0)));
    if (inFlight.load() != 0) inFlight.fetch_sub(1);
}

namespace qor::stream {

void decodeFrame(CameraRecord &record, uint8_t *raw, uint8_t *slot) {
    const FrameSettings s = readSettings(record);
    const uint32_t width = record.rawWidth, height = record.rawHeight;
    const int32_t mosaic = s.bayerPattern != 0;
    if (s.flipHorizontal == 1) QORAFlipHorizontalImage8Bit(raw, width, height, mosaic);
    if (s.flipVertical == 1)
        QORAFlipVerticalImage8Bit(raw, record.lineBuffer, width, height, mosaic);
    QORRAWImageDecodeToImageBuffer(raw, slot, s.bayerPattern, s.decodeMethod, s.outputFormat,
                                   record.destRowBytes, width, height);
    auto *pixels = reinterpret_cast<uint32_t *>(slot);
    // Only colour frames are 32-bit pixels; a matrix left chosen on a grey frame would write four
    // bytes per pixel into a slot of one.
    if (s.colorSensor == 1 && s.colorMatrixIndex != 0)
        QORAApplyRGBMatrixToRGBImage(pixels, s.colorMatrix, int32_t(s.outputFormat),
                                     int32_t(record.destRowBytes), width, int32_t(height));
    if (s.colorSensor == 1 && s.saturationMarkOn == 1)
        QORARedSaturateRGBImage(pixels, int32_t(s.outputFormat), int32_t(record.destRowBytes),
                                width, int32_t(height));
}

} // namespace qor::stream
