// Run loops: one per thread, with sources that other threads can signal.
#pragma once

struct __CFRunLoop;
struct __CFRunLoopSource;
using CFRunLoopRef = __CFRunLoop *;
using CFRunLoopSourceRef = __CFRunLoopSource *;
