/* Streaming: the three raw frame buffers, video start and stop, and the streaming thread that
 * keeps one bulk read of a whole frame outstanding. The camera argument is the camera record
 * handle of an open camera. */
#ifndef QORVANTA_STREAM_H
#define QORVANTA_STREAM_H

#include <stdint.h>

#include "export.h"
#include "types.h"

QOR_BEGIN_DECLS

/* Maps three page-aligned raw buffers of rawWidth x rawHeight bytes and the scratch row.
 * Returns 0 or memFullErr (-108). */
QOR_EXPORT int32_t QORACreateCameraBuffers(Handle camera);
QOR_EXPORT int32_t QORADisposeCameraBuffers(Handle camera);
/* Starts video (allocating the buffers first when allocate is 1); 0 at once when streaming. */
QOR_EXPORT int32_t QORACameraStartVideo(Handle camera, uint8_t allocate);
/* Stops video, and frees the buffers when release is 1. */
QOR_EXPORT int32_t QORACameraStopVideo(Handle camera, uint8_t release);
/* The layout of the frames the streaming thread puts into the digitizer's ring. raw 0 (the
 * default of every open camera): each frame decoded as the digitizer describes it, grey or
 * 32-bit colour with the colour matrix and the saturation mark applied. raw 1: each frame as the
 * sensor delivered it, one byte per pixel, rawWidth x rawHeight, rows packed (row bytes =
 * rawWidth), after the flips; the flips keep the mosaic's tile phase, so a colour frame's phase
 * is the record's bayerPattern. The colour-balance step still runs on raw frames. The ring's
 * slots, sized for decoded frames, hold a raw frame in their first rawWidth x rawHeight bytes;
 * the digitizer's image description and data size do not change, so only a client that asked
 * for raw frames may read them. Frames already in the ring keep the layout they were put in
 * with; a frame being put in when the call comes is waited for, so that every frame put in after
 * the return has the new layout (a capture start then empties the ring). Returns 0;
 * kIOReturnNoDevice for a handle without a camera record, paramErr for a raw other than 0 or 1
 * (nothing is changed then). */
QOR_EXPORT int32_t QORASetRawFrameOutput(Handle camera, uint8_t raw);
QOR_EXPORT int32_t QORUSBStartQuedAsynchBulkReads(Handle camera, uint8_t pipe);
QOR_EXPORT void QORUSBStopQuedAsynchBulkReads(Handle camera);

QOR_END_DECLS

#endif
