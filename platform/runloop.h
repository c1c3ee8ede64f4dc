// Run loops: one per thread, with sources that other threads can signal.
//
// A source does its work on the thread whose run loop holds it: another thread signals the
// source and wakes that run loop, and the run loop calls the source's perform routine.
#pragma once

#include "platform/corefoundation.h"

struct __CFRunLoop;
struct __CFRunLoopSource;
using CFRunLoopRef = __CFRunLoop *;
using CFRunLoopSourceRef = __CFRunLoopSource *;

CFStringRef kCFRunLoopDefaultModeName();
#define kCFRunLoopDefaultMode kCFRunLoopDefaultModeName()
CFStringRef kCFRunLoopCommonModesName();
#define kCFRunLoopCommonModes kCFRunLoopCommonModesName()

enum {
    kCFRunLoopRunFinished = 1,
    kCFRunLoopRunStopped = 2,
    kCFRunLoopRunTimedOut = 3,
    kCFRunLoopRunHandledSource = 4
};

struct CFRunLoopSourceContext {
    CFIndex version; // 0
    void *info;
    const void *(*retain)(const void *info);
    void (*release)(const void *info);
    void (*perform)(void *info);
};

// The calling thread's run loop, made on first use and kept for the thread's life; another
// thread that keeps a reference beyond that retains it.
CFRunLoopRef CFRunLoopGetCurrent();
// Runs the default mode until stopped or until it holds no source (at once when it holds none).
void CFRunLoopRun();
// Runs for the given seconds, even with no source to wait for; with returnAfterSourceHandled,
// returns after the first pass that performed a source. kCFRunLoopCommonModes is the default
// mode.
int32_t CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds,
                           Boolean returnAfterSourceHandled);
// Makes the innermost run of the loop return; callable from any thread. A stop that finds the
// loop not running is kept, and the loop's next run returns at once.
void CFRunLoopStop(CFRunLoopRef loop);
void CFRunLoopWakeUp(CFRunLoopRef loop);

CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef allocator, CFIndex order,
                                         CFRunLoopSourceContext *context);
// Signalled sources perform on their run loops' next pass; callable from any thread. Unlike
// CoreFoundation's, it also wakes the loops holding the source.
void CFRunLoopSourceSignal(CFRunLoopSourceRef source);
void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source);
void CFRunLoopAddSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFStringRef mode);
void CFRunLoopRemoveSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFStringRef mode);
Boolean CFRunLoopContainsSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFStringRef mode);
