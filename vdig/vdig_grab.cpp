// The frame grab path: the client announces a capture, asks for frames, polls for a finished
// one and gives each back. Frames are produced by the streaming thread into the ten-slot ring;
// these requests only hand slots out, throttle delivery to the client's frame rate and attach
// time stamps in the client's time base.
//
// The ring is shared with the streaming thread without a lock: readSlot is written here (and by
// the frame path only while it is none), framesReady and framesWanted change only atomically.
#include "vdig/vdig.h"

#include "platform/corefoundation.h"
#include "platform/misc.h"
#include "usb/camera_record.h"

#include <qorvanta/status.h>
#include <qorvanta/stream.h>

#include <cmath>
#include <unistd.h>

namespace {

using qor::vdig::commonGuard;

constexpr int kReleaseWaitTries = 10;
constexpr useconds_t kReleaseWaitUs = 1000;

// Hand-out state of a new or ended capture: no read position, no frame seen, nothing wanted.
void forgetHandOut(CameraRecord &r) {
    atomicField(r.lastFrameMs).store(-1.0);
    atomicField(r.lastFilledSlot).store(kNoSlot);
    atomicField(r.readSlot).store(kNoSlot);
    atomicField(r.framesWanted).store(0);
    r.nextFrameDueUs = 0;
}

// Holds frames back until the client's frame interval has passed. True when a frame may go.
bool throttlePasses(CameraRecord &r, uint64_t now) {
    if (r.throttleDuration == 0 || GetTimeBaseRate(r.timeBase) == 0) return true;
    if (now < r.nextFrameDueUs) return false;
    if (now - r.nextFrameDueUs < r.frameIntervalUs) return false;
    r.nextFrameDueUs =
        r.nextFrameDueUs == 0 ? now + r.frameIntervalUs : r.nextFrameDueUs + r.frameIntervalUs;
    return true;
}

// The frame within the second at a fraction of the second: below the frames per second of the
// time-code definition, also when the camera is faster than that byte can count.
uint8_t frameWithinSecond(double fraction, float rate, uint8_t framesPerSecond) {
    if (framesPerSecond == 0) return 0;
    const double frame = fraction * double(rate);
    if (!(frame > 0.0)) return 0;
    const double last = double(framesPerSecond - 1);
    return uint8_t(frame < last ? frame : last);
}

// The time code of the recording's start: the time-base time, the frame duration, and the
// wall-clock time of day in GMT with the frame within the second.
void captureTimeCode(CameraRecord &r) {
    r.timeCodeAt = r.recordStartTime;
    const float rate = r.frameRate;
    r.timeCodeDef.flags = 0;
    r.timeCodeDef.fTimeScale = TimeScale(r.timeScale);
    r.timeCodeDef.frameDuration = rate > 0.0f ? TimeValue(float(r.timeScale) / rate) : 0;
    r.timeCodeDef.numFrames = rate > 255.0f ? 255 : uint8_t(rate > 0.0f ? rate : 0.0f);
    r.timeCodeDef.padding = 0;
    const CFGregorianDate date =
        CFAbsoluteTimeGetGregorianDate(CFAbsoluteTimeGetCurrent(), nullptr);
    double wholeSeconds = 0.0;
    const double fraction = std::modf(date.second, &wholeSeconds);
    r.timeCodeTime.hours = uint8_t(date.hour);
    r.timeCodeTime.minutes = uint8_t(date.minute);
    r.timeCodeTime.seconds = uint8_t(wholeSeconds);
    r.timeCodeTime.frames = frameWithinSecond(fraction, rate, r.timeCodeDef.numFrames);
}

void releaseReadSlot(CameraRecord &r) {
    atomicField(r.readSlot).store(kNoSlot, std::memory_order_release);
}

// Why no frame will come: the error that ended the stream (the next capture start starts video
// again), or 0 while it runs or when it was stopped on purpose.
ComponentResult streamFailure(CameraRecord &r) {
    if (atomicField(r.streaming).load() != 0) return noErr;
    return ComponentResult(atomicField(r.streamError).load());
}

// One frame fewer waiting; never below zero.
void takeOneReady(CameraRecord &r) {
    auto ready = atomicField(r.framesReady);
    uint32_t n = ready.load(std::memory_order_acquire);
    while (n != 0 && !ready.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
    }
}

// The time stamp of a frame of frame time frameMs, or false when a recording must drop it (the
// same frame again, or an older one).
bool stampFrame(CameraRecord &r, double frameMs, TimeRecord *t) {
    if (r.recording == 0) {
        GetTimeBaseTime(r.timeBase, TimeScale(r.timeScale), t);
        return true;
    }
    if (r.firstRecordFramePending == 1) {
        r.lastRecordedFrameMs = frameMs;
        r.firstRecordFrameMs = frameMs;
        r.firstRecordFramePending = 0;
        GetTimeBaseTime(r.timeBase, TimeScale(r.timeScale), &r.recordStartTime);
        captureTimeCode(r);
        *t = r.recordStartTime;
        return true;
    }
    if (frameMs - r.lastRecordedFrameMs <= 0.0) return false;
    r.lastRecordedFrameMs = frameMs;
    *t = r.recordStartTime;
    const double units = (frameMs - r.firstRecordFrameMs) / 1000.0 * double(r.timeScale);
    const uint64_t count = uint64_t(units);
    const wide offset{int32_t(count >> 32), uint32_t(count)};
    WideAdd(&t->value, &offset);
    return true;
}

} // namespace

ComponentResult vdigCaptureStateChanging(Handle storage, uint32_t flags) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    CameraRecord &r = *cameraRecord(storage);
    const bool starting = flags & vdFlagCaptureStarting;
    const bool stopping = flags & vdFlagCaptureStopping;
    ComponentResult result = noErr;
    if (starting && stopping) {
        result = qtParamErr;
    } else if (starting) {
        forgetHandOut(r);
        atomicField(r.framesReady).store(0);
        // A failed start is not reported: the client then receives no frames.
        QORACameraStartVideo(storage, r.buffersAllocated == 0 ? 1 : 0);
    } else if (stopping) {
        // The camera keeps streaming; with nothing wanted the frame path ignores its frames.
        forgetHandOut(r);
    }
    if (flags & vdFlagCaptureIsForPreview) {
        r.recording = 0;
        r.firstRecordFramePending = 0;
    }
    if (flags & vdFlagCaptureIsForRecord) {
        r.recording = 1;
        r.firstRecordFramePending = 1;
    }
    return result;
}

ComponentResult vdigCompressOneFrameAsync(Handle storage) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    CameraRecord &r = *cameraRecord(storage);
    if (!r.timeBase) return badCallOrderErr;
    uint32_t none = 0;
    atomicField(r.framesWanted).compare_exchange_strong(none, 1, std::memory_order_acq_rel);
    return noErr;
}

ComponentResult vdigCompressDone(Handle storage, uint8_t *queuedFrameCount, Ptr *theData,
                                 long *dataSize, uint8_t *similarity, TimeRecord *t) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    if (!queuedFrameCount || !theData || !dataSize || !t) return qtParamErr;
    *queuedFrameCount = 0;
    *theData = nullptr;
    *dataSize = 0;
    if (similarity) *similarity = 0;
    CameraRecord &r = *cameraRecord(storage);
    if (!r.timeBase || atomicField(r.framesWanted).load(std::memory_order_acquire) == 0)
        return badCallOrderErr;

    UnsignedWide clock;
    Microseconds(&clock);
    const uint64_t now = wideToUInt64(clock);
    auto framesReady = atomicField(r.framesReady);
    if (framesReady.load(std::memory_order_acquire) == 0) return streamFailure(r);
    if (!throttlePasses(r, now)) return noErr;
    const uint32_t slot = atomicField(r.readSlot).load(std::memory_order_acquire);
    if (slot >= kFrameSlotCount) return noErr;

    Ptr data = reinterpret_cast<Ptr>(r.frameSlots[slot]);
    const double frameMs = atomicField(r.slotFrameMs[slot]).load(std::memory_order_relaxed);
    if (!stampFrame(r, frameMs, t)) {
        releaseReadSlot(r);
        takeOneReady(r);
        return noErr;
    }
    *theData = data;
    *dataSize = long(r.compressedFrameBytes);
    *queuedFrameCount = uint8_t(framesReady.load(std::memory_order_acquire));
    takeOneReady(r);
    return noErr;
}

ComponentResult vdigReleaseCompressBuffer(Handle storage, Ptr) {
    if (ComponentResult guard = commonGuard(storage)) return guard;
    CameraRecord &r = *cameraRecord(storage);
    if (!r.timeBase) return badCallOrderErr;
    // A completion in progress may be about to mark the next slot filled.
    for (int i = 0; i < kReleaseWaitTries && atomicField(r.callbacksInFlight).load() != 0; ++i)
        usleep(kReleaseWaitUs);
    // Only this side moves a read position that is not none, so the one read here stays.
    const uint32_t readSlot = atomicField(r.readSlot).load();
    const uint32_t lastFilled = atomicField(r.lastFilledSlot).load();
    if (lastFilled == kNoSlot) return noErr;
    if (lastFilled == readSlot) {
        // The newest frame was handed out. A frame filled meanwhile either finds the position
        // none and claims it, or was published before the second look below, which claims it
        // here; both claim by compare-and-swap (see the frame path's advanceRing).
        atomicField(r.readSlot).store(kNoSlot);
        if (atomicField(r.lastFilledSlot).load() != lastFilled) {
            uint32_t none = kNoSlot;
            atomicField(r.readSlot).compare_exchange_strong(none, (readSlot + 1) % kFrameSlotCount);
        }
        return noErr;
    }
    if (atomicField(r.framesReady).load() == 0) return noErr;
    if (readSlot >= kFrameSlotCount) return noErr;
    const uint32_t next = (readSlot + 1) % kFrameSlotCount;
    const uint32_t writeSlot = atomicField(r.writeSlot).load();
    atomicField(r.readSlot).store(next == writeSlot ? kNoSlot : next);
    return noErr;
}

ComponentResult vdigResetCompressSequence(Handle storage) {
    return commonGuard(storage);
}
