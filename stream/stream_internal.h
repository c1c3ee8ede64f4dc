// Internals of the streaming layer shared by its files: the streaming thread, the completion
// routine of the one outstanding bulk read, and the two transfers both of them issue.
#pragma once

#include "usb/camera_record.h"

// Completion of the outstanding bulk read: refcon is the camera handle, arg0 the byte count.
// Runs on the streaming thread; queues the next read, then turns the frame into a ring slot.
void myQueBulKPipeDataCallBackFunction(void *refcon, IOReturn result, void *arg0);

// Body of the streaming thread; the argument is the camera handle.
void *myUSBBulkThreadLoop(void *camera);

namespace qor::stream {

// The pipe index of the bulk-in endpoint under the streaming alternate setting.
constexpr uint8_t kBulkInPipe = 1;

// Starts (on) or stops video in the camera through register 0x0214, with the stall recovery
// after a failed request. Returns the request's result.
IOReturn writeVideoState(CameraHandle camera, bool on);

// Queues the read of one whole frame into raw buffer `index`. A queued read counts as
// outstanding on the calling thread until a completion arrives there.
IOReturn queueFrameRead(CameraHandle camera, CameraRecord &record, uint32_t index);

// Notes that a completion arrived on the calling thread.
void noteReadCompleted();

// Tests only: a function the frame path calls on the streaming thread once it has found room
// in the ring for a frame and before it publishes the frame; null for none.
using RingAdvanceHook = void (*)(CameraRecord &record);
void setRingAdvanceHookForTests(RingAdvanceHook hook);

// Decodes raw frame `raw` into ring slot `slot` with the flips, the colour matrix and the
// saturation mark the record's settings ask for: everything the completion routine does to the
// pixels of one frame, a strip of rows at a time. Reads the settings the panel may change once.
// The raw frame may be changed. stripRows 0 takes the count that suits the frame's width; tests
// pass small ones.
void decodeFrame(CameraRecord &record, uint8_t *raw, uint8_t *slot, uint32_t stripRows = 0);

// The same result, stage after stage over the whole frame (the raw frame flipped in place):
// what the strips are checked and measured against.
void decodeFrameByStages(CameraRecord &record, uint8_t *raw, uint8_t *slot);

} // namespace qor::stream
