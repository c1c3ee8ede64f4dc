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
QOR_EXPORT int32_t QORUSBStartQuedAsynchBulkReads(Handle camera, uint8_t pipe);
QOR_EXPORT void QORUSBStopQuedAsynchBulkReads(Handle camera);

QOR_END_DECLS

#endif
