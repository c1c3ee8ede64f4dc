// Video start and stop, and the streaming thread: a run loop holding the interface's event
// source, through which the completion of the one outstanding bulk read arrives.
#include "stream/stream_internal.h"

#include "camera/registers.h"
#include "platform/log.h"
#include "platform/misc.h"
#include "usb/transport.h"

#include <qorvanta/camera.h>
#include <qorvanta/status.h>
#include <qorvanta/stream.h>

#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace qor::stream {
namespace {

constexpr uint32_t kVideoOn = 0x80;

// The streaming thread runs its loop until stopped, also once the interface's source is gone
// (CFRunLoopRun would return at once then, and the thread would spin).
constexpr CFTimeInterval kUntilStopped = 1.0e9;
// How long a stop waits in all for a completion in progress and for the thread to end. A
// completion may take a few register requests of up to their time-out; a thread still busy
// after this is left running, with everything it uses.
constexpr uint64_t kStopLimitUs = 5000000;
constexpr useconds_t kStopStepUs = 1000;
constexpr long kExitWaitStepNs = 10000000;
// How long an ending thread waits for the completions of its aborted reads.
constexpr uint64_t kSettleLimitUs = 2000000;
constexpr CFTimeInterval kSettleStep = 0.01;

// Reads queued by this thread whose completion has not arrived here yet.
thread_local uint32_t tReadsOutstanding = 0;

// Takes the completions of this thread's aborted reads, so that none is left queued on the
// interface's source for a later stream's thread to take for a frame. Nothing arrives any
// more once the interface has closed its source.
void settleOutstandingReads(CFRunLoopRef loop, CFRunLoopSourceRef source) {
    const uint64_t giveUpAt = qor::platform::microseconds() + kSettleLimitUs;
    while (tReadsOutstanding > 0 && CFRunLoopContainsSource(loop, source, kCFRunLoopDefaultMode) &&
           qor::platform::microseconds() < giveUpAt)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, kSettleStep, true);
}

// Makes the start and exit hand-shake objects; the thread is created detached through the
// attributes. On failure nothing is left made.
int initHandshake(CameraRecord &record) {
    int error = pthread_mutex_init(&record.streamMutex, nullptr);
    if (error) return error;
    error = pthread_cond_init(&record.streamCond, nullptr);
    if (!error) {
        error = pthread_attr_init(&record.streamThreadAttr);
        if (!error) {
            error = pthread_attr_setdetachstate(&record.streamThreadAttr, PTHREAD_CREATE_DETACHED);
            if (!error) return 0;
            pthread_attr_destroy(&record.streamThreadAttr);
        }
        pthread_cond_destroy(&record.streamCond);
    }
    pthread_mutex_destroy(&record.streamMutex);
    return error;
}

void destroyHandshake(CameraRecord &record) {
    pthread_attr_destroy(&record.streamThreadAttr);
    pthread_cond_destroy(&record.streamCond);
    pthread_mutex_destroy(&record.streamMutex);
}

// Waits under streamMutex until the thread has left its loop or the time is up; true when it
// has.
bool waitForThreadExit(CameraRecord &record, uint64_t giveUpAt) {
    while (atomicField(record.streamThreadDone).load() == 0 &&
           qor::platform::microseconds() < giveUpAt) {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += kExitWaitStepNs;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000;
        }
        pthread_cond_timedwait(&record.streamCond, &record.streamMutex, &until);
    }
    return atomicField(record.streamThreadDone).load() != 0;
}

void broadcastLocked(CameraRecord &record) {
    pthread_mutex_lock(&record.streamMutex);
    pthread_cond_broadcast(&record.streamCond);
    pthread_mutex_unlock(&record.streamMutex);
}

} // namespace

IOReturn writeVideoState(CameraHandle camera, bool on) {
    return QORAWriteOneCameraRegister(camera, qor::camera::kRegStreaming, on ? kVideoOn : 0);
}

IOReturn queueFrameRead(CameraHandle camera, CameraRecord &record, uint32_t index) {
    IOUSBInterfaceInterface **intf = record.interfaceInterface;
    if (!intf) return kIOReturnNoDevice;
    IOReturn result =
        (*intf)->ReadPipeAsync(intf, record.bulkInPipe, record.rawBuffers[index],
                               record.rawFrameBytes, myQueBulKPipeDataCallBackFunction, camera);
    if (result == kIOReturnSuccess) ++tReadsOutstanding;
    return result;
}

void noteReadCompleted() {
    if (tReadsOutstanding > 0) --tReadsOutstanding;
}

} // namespace qor::stream

using qor::stream::broadcastLocked;
using qor::stream::destroyHandshake;
using qor::stream::initHandshake;
using qor::stream::kStopLimitUs;
using qor::stream::kStopStepUs;
using qor::stream::kUntilStopped;
using qor::stream::queueFrameRead;
using qor::stream::settleOutstandingReads;
using qor::stream::waitForThreadExit;
using qor::stream::writeVideoState;

void *myUSBBulkThreadLoop(void *camera) {
    CameraHandle handle = static_cast<CameraHandle>(camera);
    CameraRecord &record = *cameraRecord(handle);

    pthread_mutex_lock(&record.streamMutex);
    record.asyncEventSource = nullptr;
    atomicField(record.streamThreadDone).store(0);
    Microseconds(&record.streamStartUs);
    atomicField(record.rawBufferIndex).store(0);
    record.lastFrameUs = record.streamStartUs;
    pthread_mutex_unlock(&record.streamMutex);

    // The source belongs to the interface: added to this loop and removed again, never released.
    IOUSBInterfaceInterface **intf = record.interfaceInterface;
    IOReturn error = intf ? (*intf)->CreateInterfaceAsyncEventSource(intf, &record.asyncEventSource)
                          : kIOReturnNoDevice;
    atomicField(record.streamError).store(error);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    if (error == kIOReturnSuccess) {
        // Retained: the loop must outlive this thread for a stop that comes late.
        pthread_mutex_lock(&record.streamMutex);
        record.streamRunLoop = static_cast<CFRunLoopRef>(const_cast<void *>(CFRetain(loop)));
        pthread_mutex_unlock(&record.streamMutex);
        CFRunLoopAddSource(loop, record.asyncEventSource, kCFRunLoopDefaultMode);
        // The first completion may arrive before the starter wakes; it must find streaming set.
        atomicField(record.streaming).store(1);
        error = queueFrameRead(handle, record, 0);
        atomicField(record.streamError).store(error);
        if (error == kIOReturnSuccess)
            atomicField(record.streamThreadRunning).fetch_add(1);
        else
            atomicField(record.streaming).store(0);
    }
    broadcastLocked(record);

    if (error == kIOReturnSuccess) {
        while (atomicField(record.streamThreadRunning).load() == 1)
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, kUntilStopped, false);
        settleOutstandingReads(loop, record.asyncEventSource);
    }

    pthread_mutex_lock(&record.streamMutex);
    if (record.asyncEventSource)
        CFRunLoopRemoveSource(loop, record.asyncEventSource, kCFRunLoopDefaultMode);
    record.asyncEventSource = nullptr;
    atomicField(record.streamThreadDone).store(1);
    pthread_cond_broadcast(&record.streamCond);
    pthread_mutex_unlock(&record.streamMutex);
    return nullptr;
}

extern "C" {

int32_t QORUSBStartQuedAsynchBulkReads(Handle camera, uint8_t pipe) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return kIOReturnNoDevice;
    // A thread left running by a streaming error, or by a stop that gave up on it, still uses
    // the hand-shake objects; while it runs nothing may be made anew.
    if (record->streamThread) QORUSBStopQuedAsynchBulkReads(camera);
    if (record->streamThread) return kIOReturnTimeout;

    record->bulkInPipe = pipe;
    record->streamThread = 0;
    atomicField(record->streaming).store(0);
    atomicField(record->streamThreadDone).store(1);
    atomicField(record->streamError).store(0);
    atomicField(record->streamThreadRunning).store(0);
    atomicField(record->callbacksInFlight).store(0);

    IOUSBInterfaceInterface **intf = record->interfaceInterface;
    if (!intf) return kIOReturnNoDevice;
    IOReturn result = (*intf)->GetPipeStatus(intf, pipe);
    if (result != kIOReturnSuccess) return result;

    result = initHandshake(*record);
    if (result == 0) {
        IOReturn video = writeVideoState(camera, true);
        result = qor::usb::controlDone(video) ? 0 : video;
        if (result == 0)
            result = pthread_create(&record->streamThread, &record->streamThreadAttr,
                                    myUSBBulkThreadLoop, camera);
        if (result == 0) {
            pthread_mutex_lock(&record->streamMutex);
            while (atomicField(record->streamThreadRunning).load() == 0 &&
                   atomicField(record->streamError).load() == 0)
                pthread_cond_wait(&record->streamCond, &record->streamMutex);
            pthread_mutex_unlock(&record->streamMutex);
        } else {
            record->streamThread = 0;
            destroyHandshake(*record);
        }
    }
    // The thread set streaming before its first read; a failure on either side clears it.
    if (result != 0 || atomicField(record->streamError).load() != 0)
        atomicField(record->streaming).store(0);
    return result;
}

void QORUSBStopQuedAsynchBulkReads(Handle camera) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return;
    atomicField(record->streaming).store(0);
    if (!record->streamThread) return;

    // A completion already past its check of streaming finishes first, so that a video restart
    // or a read it queues comes before the abort and the video stop below.
    const uint64_t giveUpAt = qor::platform::microseconds() + kStopLimitUs;
    while (atomicField(record->callbacksInFlight).load() == 1 &&
           qor::platform::microseconds() < giveUpAt)
        usleep(kStopStepUs);
    if (IOUSBInterfaceInterface **intf = record->interfaceInterface) {
        (*intf)->ClearPipeStallBothEnds(intf, record->bulkInPipe);
        (*intf)->AbortPipe(intf, record->bulkInPipe);
    }
    writeVideoState(camera, false);

    // The thread ends also when it never entered its loop; its last use of the mutex and the
    // condition is the exit hand-shake, so they go only after it.
    pthread_mutex_lock(&record->streamMutex);
    if (record->streamRunLoop && atomicField(record->streamThreadRunning).load() != 0) {
        atomicField(record->streamThreadRunning).fetch_sub(1);
        CFRunLoopStop(record->streamRunLoop);
    }
    const bool ended = waitForThreadExit(*record, giveUpAt);
    pthread_mutex_unlock(&record->streamMutex);
    if (!ended) {
        // Still inside a completion: its hand-shake, run loop and buffers stay as they are for
        // it, and streamThread stays set so that a later stop or start finds it.
        qor::platform::log(qor::platform::LogLevel::Warning,
                           "QORUSBStopQuedAsynchBulkReads streaming thread still busy after %u ms, "
                           "left running",
                           unsigned(kStopLimitUs / 1000));
        atomicField(record->streamError).store(kIOReturnTimeout);
        return;
    }

    if (record->streamRunLoop) {
        CFRelease(record->streamRunLoop);
        record->streamRunLoop = nullptr;
    }
    destroyHandshake(*record);
    record->streamThread = 0;
}

int32_t QORACameraStartVideo(Handle camera, uint8_t allocate) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return kIOReturnNoDevice;
    if (atomicField(record->streaming).load() != 0) return 0;
    atomicField(record->lastFrameMs).store(-1.0);
    if (allocate == 1) {
        int32_t error = QORACreateCameraBuffers(camera);
        if (error) return error;
    }
    return QORUSBStartQuedAsynchBulkReads(camera, qor::stream::kBulkInPipe);
}

int32_t QORACameraStopVideo(Handle camera, uint8_t release) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return kIOReturnNoDevice;
    // Also a thread left idle by a streaming error ends here. One that does not end in time
    // keeps the buffers it reads into, and the caller learns it.
    if (atomicField(record->streaming).load() == 1 || record->streamThread)
        QORUSBStopQuedAsynchBulkReads(camera);
    if (record->streamThread) return kIOReturnTimeout;
    if (release == 1) QORADisposeCameraBuffers(camera);
    return 0;
}

} // extern "C"
