// The completion routine of the bulk read: it re-queues the next read at once, then turns the
// completed raw frame into a decoded frame in the digitizer's ring (colour-balance step, time
// stamp, flips, demosaic, colour matrix, saturation mark) and advances the ring. A client that
// asked for raw frames (rawFrameOutput) gets the flipped raw frame copied into the slot instead.
#include "stream/stream_internal.h"

#include "camera/video_controls.h"
#include "imaging/frame_path.h"
#include "platform/log.h"
#include "platform/misc.h"
#include "usb/transport.h"

#include <qorvanta/imaging.h>
#include <qorvanta/status.h>
#include <qorvanta/stream.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr uint32_t kMostFramesReady = 9;

std::atomic<qor::stream::RingAdvanceHook> gRingAdvanceHook{nullptr};

// The processing settings the panel may change while frames arrive, read once per frame.
struct FrameSettings {
    uint8_t flipHorizontal, flipVertical;
    uint32_t bayerPattern, decodeMethod, outputFormat;
    uint16_t colorMatrixIndex;
    uint8_t colorSensor, saturationMarkOn, rawFrameOutput;
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
    // Sequentially consistent, like the count of callbacks in flight that QORASetRawFrameOutput
    // waits on: a frame whose callback began after that wait sees the new layout.
    s.rawFrameOutput = atomicField(record.rawFrameOutput).load();
    s.colorMatrixIndex = readColorMatrix(record, s.colorMatrix);
    return s;
}

// The stages one after the other over the whole frame: the raw frame flipped in place, decoded
// into the slot, then the matrix and the mark over the slot.
void decodeByStages(CameraRecord &record, const FrameSettings &s, uint8_t *raw, uint8_t *slot) {
    const uint32_t width = record.rawWidth, height = record.rawHeight;
    const int32_t mosaic = s.bayerPattern != 0;
    if (s.flipHorizontal == 1) QORAFlipHorizontalImage8Bit(raw, width, height, mosaic);
    if (s.flipVertical == 1)
        QORAFlipVerticalImage8Bit(raw, record.lineBuffer, width, height, mosaic);
    if (s.rawFrameOutput == 1) {
        // The slot, sized for the decoded frame, is at least as large as the raw one.
        std::memcpy(slot, raw, size_t(width) * height);
        return;
    }
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

void countLoss(uint32_t &counter) {
    atomicField(counter).fetch_add(1, std::memory_order_relaxed);
}

// A camera whose reads keep failing ends its stream after this many lost frames in a row, so
// that the client is told instead of waiting for frames that never come.
constexpr uint32_t kMostBadTransfersInARow = 8;
// From the second bad transfer in a row on, video restarts only after a pause that doubles each
// time, so that a failing camera is not restarted in a tight loop.
constexpr uint64_t kFirstRestartPauseUs = 5000;
constexpr uint64_t kLongestRestartPauseUs = 160000;
constexpr useconds_t kPauseStepUs = 1000;
// At most one message about wrong reads a second in each stream; the rest are counted.
constexpr uint64_t kMessageIntervalUs = 1000000;
// A video start that fails after a bad transfer is tried this many times in all.
constexpr int kVideoStartTries = 3;
// The longest a layout change waits for a frame in flight: a frame's processing, or the pause
// before a restart after bad transfers.
constexpr uint64_t kLayoutChangeLimitUs = 2 * kLongestRestartPauseUs + 1000000;

// The run of bad transfers of the stream, and its message limit. Completions run only on their
// stream's own thread, and every stream has a thread of its own.
struct BadTransfers {
    uint32_t inARow = 0;
    bool messageShown = false;
    uint64_t lastMessageUs = 0;
    uint32_t notShown = 0;
};
thread_local BadTransfers tBadTransfers;

void reportWrongRead(const CameraRecord &record, uint32_t bytesRead) {
    BadTransfers &bad = tBadTransfers;
    const uint64_t now = qor::platform::microseconds();
    if (bad.messageShown && now - bad.lastMessageUs < kMessageIntervalUs) {
        ++bad.notShown;
        return;
    }
    qor::platform::log(qor::platform::LogLevel::Info,
                       "myQueBulKPipeDataCallBackFunction WRONG numBytesRead %d expectd %d bytes",
                       int(bytesRead), int(record.rawFrameBytes));
    if (bad.notShown)
        qor::platform::log(qor::platform::LogLevel::Info,
                           "myQueBulKPipeDataCallBackFunction %u more wrong reads not shown",
                           bad.notShown);
    bad.messageShown = true;
    bad.lastMessageUs = now;
    bad.notShown = 0;
}

// No read is outstanding any more: the client's next request learns the error, and its next
// capture start starts video again.
void endStream(CameraRecord &record, IOReturn error) {
    atomicField(record.streamError).store(error);
    atomicField(record.streaming).store(0);
}

void endStreamWithMessage(CameraRecord &record, IOReturn error, const char *why) {
    qor::platform::log(qor::platform::LogLevel::Error,
                       "myQueBulKPipeDataCallBackFunction stream ended, %s (0x%08X)", why,
                       uint32_t(error));
    endStream(record, error);
}

// The pause before the restart after the given number of bad transfers in a row. False when
// the stream was stopped meanwhile.
bool pauseBeforeRestart(CameraRecord &record, uint32_t inARow) {
    if (inARow < 2) return true;
    const uint32_t doublings = std::min<uint32_t>(inARow - 2, 16);
    const uint64_t pauseUs = std::min(kFirstRestartPauseUs << doublings, kLongestRestartPauseUs);
    auto streaming = atomicField(record.streaming);
    for (uint64_t paused = 0; paused < pauseUs && streaming.load() != 0; paused += kPauseStepUs)
        usleep(kPauseStepUs);
    return streaming.load() != 0;
}

// The video-start write after a bad transfer, tried again when it fails: a camera left stopped
// would never complete the read queued next.
IOReturn startVideoAgain(CameraHandle camera) {
    IOReturn result = kIOReturnSuccess;
    for (int i = 0; i < kVideoStartTries; ++i) {
        result = qor::stream::writeVideoState(camera, true);
        if (qor::usb::controlDone(result)) return kIOReturnSuccess;
    }
    return result;
}

// A read with any other length than a frame, or an overrun, has lost the frame boundary: video
// restarts in the camera and the same buffer is read again.
void restartAfterBadTransfer(CameraHandle camera, CameraRecord &record, IOReturn result,
                             uint32_t bytesRead) {
    const uint32_t inARow = ++tBadTransfers.inARow;
    reportWrongRead(record, bytesRead);
    countLoss(record.framesLostInTransfer);
    if (inARow >= kMostBadTransfersInARow) {
        endStreamWithMessage(record, result != kIOReturnSuccess ? result : kIOReturnUnderrun,
                             "every read fails");
        return;
    }
    if (!pauseBeforeRestart(record, inARow)) return;
    qor::stream::writeVideoState(camera, false);
    if (IOUSBInterfaceInterface **intf = record.interfaceInterface) {
        (*intf)->ClearPipeStallBothEnds(intf, record.bulkInPipe);
        (*intf)->AbortPipe(intf, record.bulkInPipe);
    }
    if (IOReturn error = startVideoAgain(camera)) {
        endStreamWithMessage(record, error, "video did not start again");
        return;
    }
    const uint32_t same = atomicField(record.rawBufferIndex).load(std::memory_order_relaxed);
    if (IOReturn error = qor::stream::queueFrameRead(camera, record, same))
        endStream(record, error);
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
// before the indices and the count that publish it.
//
// The read position is handed over with one protocol on both sides: each side claims a read
// position of none only by compare-and-swap, and only after it has published what the other
// side looks at (here lastFilledSlot; the release publishes none and then looks at
// lastFilledSlot again). Sequentially consistent, so that one of the two always sees the other,
// and a frame filled while the client gives back its newest one is never left without a read
// position.
void advanceRing(CameraRecord &record, uint32_t written) {
    const uint32_t next = (written + 1) % kFrameSlotCount;
    if (next == atomicField(record.readSlot).load()) {
        // Full: the next frame goes into the same slot, and this one is lost.
        countLoss(record.framesOverwritten);
        return;
    }
    if (qor::stream::RingAdvanceHook hook = gRingAdvanceHook.load()) hook(record);
    atomicField(record.writeSlot).store(next);
    atomicField(record.lastFilledSlot).store(written);
    // The client may have given back its newest frame since the look above.
    uint32_t none = kNoSlot;
    atomicField(record.readSlot).compare_exchange_strong(none, written);
    auto framesReady = atomicField(record.framesReady);
    if (framesReady.load() <= kMostFramesReady - 1) framesReady.fetch_add(1);
}

void assembleFrame(CameraHandle camera, CameraRecord &record, IOReturn result, uint32_t bytesRead) {
    if (bytesRead != record.rawFrameBytes || result == kIOReturnOverrun) {
        restartAfterBadTransfer(camera, record, result, bytesRead);
        return;
    }
    tBadTransfers.inARow = 0;
    // Any other error with the whole frame read still delivered a frame.
    auto bufferIndex = atomicField(record.rawBufferIndex);
    const uint32_t completed = bufferIndex.load(std::memory_order_relaxed);
    const uint32_t next = (completed + 1) % kRawBufferCount;
    bufferIndex.store(next, std::memory_order_relaxed);
    const uint64_t now = qor::platform::microseconds();
    IOReturn error = qor::stream::queueFrameRead(camera, record, next);
    if (error != kIOReturnSuccess) {
        endStream(record, error);
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

void setRingAdvanceHookForTests(RingAdvanceHook hook) {
    gRingAdvanceHook.store(hook);
}

void decodeFrameByStages(CameraRecord &record, uint8_t *raw, uint8_t *slot) {
    decodeByStages(record, readSettings(record), raw, slot);
}

void decodeFrame(CameraRecord &record, uint8_t *raw, uint8_t *slot, uint32_t stripRows) {
    const FrameSettings s = readSettings(record);
    qor::imaging::FramePathJob job;
    job.raw = raw;
    job.width = record.rawWidth;
    job.height = record.rawHeight;
    job.destination = slot;
    job.destRowBytes = record.destRowBytes;
    job.bayerPattern = s.bayerPattern;
    job.decodeMethod = s.decodeMethod;
    job.outputFormat = s.outputFormat;
    job.flipHorizontal = s.flipHorizontal == 1;
    job.flipVertical = s.flipVertical == 1;
    job.colorMatrix = s.colorSensor == 1 && s.colorMatrixIndex != 0 ? s.colorMatrix : nullptr;
    job.saturationMark = s.colorSensor == 1 && s.saturationMarkOn == 1;
    job.rawOutput = s.rawFrameOutput == 1;
    if (!qor::imaging::runFramePath(job, stripRows)) decodeByStages(record, s, raw, slot);
}

} // namespace qor::stream

int32_t QORASetRawFrameOutput(Handle camera, uint8_t raw) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return kIOReturnNoDevice;
    if (raw > 1) return paramErr;
    atomicField(record->rawFrameOutput).store(raw);
    // A frame the streaming thread is putting into the ring now keeps the former layout, and may
    // land in the ring after a capture start has emptied it: wait until it is there, as a stop
    // waits, so that every frame put in after the return has the new layout.
    const uint64_t giveUpAt = qor::platform::microseconds() + kLayoutChangeLimitUs;
    while (atomicField(record->callbacksInFlight).load() != 0 &&
           qor::platform::microseconds() < giveUpAt)
        usleep(kPauseStepUs);
    return 0;
}
