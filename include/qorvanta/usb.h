/* USB transport of the camera library: vendor control requests and bulk transfers on an open
 * camera. The camera argument is the camera record handle. A control request is done when it
 * answers 0 or kIOReturnOverrun. */
#ifndef QORVANTA_USB_H
#define QORVANTA_USB_H

#include <stdint.h>

#include "export.h"
#include "types.h"

QOR_BEGIN_DECLS

/* Vendor request out (bmRequestType 0x40) on the control pipe. data may be null when length
 * is 0. Returns 0, kIOReturnOverrun (also a success), -1 for bad arguments, or the IOKit error
 * after clearing the stall. */
QOR_EXPORT int32_t QORUSBWriteControlPipe(Handle camera, void *data, uint32_t length,
                                          uint8_t request, uint16_t value, uint16_t index);
/* Vendor request in (bmRequestType 0xC0). Returns 0 when exactly length bytes arrived (or on
 * kIOReturnOverrun), -1 for a short answer or bad arguments, else the IOKit error. */
QOR_EXPORT int32_t QORUSBReadControlPipe(Handle camera, void *data, uint32_t length,
                                         uint8_t request, uint16_t value, uint16_t index);
/* Bulk transfers on pipe `pipe` of the camera's interface. The read stores the number of bytes
 * that arrived through byteCount. */
QOR_EXPORT int32_t QORUSBWriteBulkPipe(Handle camera, uint8_t pipe, void *data, uint32_t byteCount);
QOR_EXPORT int32_t QORUSBReadBulkPipe(Handle camera, uint8_t pipe, void *data, uint32_t *byteCount);

/* Finds the attached camera with this vendor id, product id and name, opens it into the
 * record, arms the removal and power notifications on the caller's run loop and sets the
 * camera and the record to their defaults. Returns 0; kIOReturnNoDevice when no such camera
 * is attached; -2207 for a sensor the library cannot decode; or the error of a failing step
 * (the camera may then be open: close it as usual). */
QOR_EXPORT int32_t QORUSBOpenCamera(uint32_t vendorID, uint32_t productID, const char *name,
                                    Handle camera);
/* Releases everything an open acquired: cooling off, notifications, interface, device. Safe on
 * a partly opened, already closed or zero-filled record (null is accepted). Returns 0. */
QOR_EXPORT int32_t QORUSBCloseCamera(Handle camera);

/* Brings every attached camera from power-up to registered: downloads the FX2 firmware into
 * unprogrammed cameras, waits 2.5 s for them to come back when it downloaded any, configures
 * each camera's FPGA and registers one video digitizer per camera, named after it. Returns 0
 * when at least one camera digitizer is registered afterwards, 1 when none is, -1 without a
 * master port, -2 when a matching dictionary cannot be made, -3 when a notification port
 * cannot be made, or the error of a failed matching notification. */
QOR_EXPORT int32_t QORUSBInitializeLoader(void);
/* Loads the sensor's initialisation words into a camera that needs them (product id 0x009A),
 * with request 0x13; other models need none. Returns 0, kIOReturnNoDevice for a null handle, or
 * the error of the first request that failed (the rest are not sent). */
QOR_EXPORT int32_t QORInitReset(Handle camera);

QOR_END_DECLS

#endif
