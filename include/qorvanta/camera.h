/* Camera control: image sizes and pixel formats. */
#ifndef QORVANTA_CAMERA_H
#define QORVANTA_CAMERA_H

#include <stdint.h>

#include "export.h"

QOR_BEGIN_DECLS

/* Maps the sensor code of camera register 0x1014 to its format class (0 monochrome, 1 RGGB,
 * 2 GRBG, 3 GBRG, 4 BGGR). *bitsPerPixel is always 8. Returns 0, or badDepthErr (-2207) for a
 * code no camera of the family uses, leaving *formatClass as it was. */
QOR_EXPORT int32_t QORAImageFormatToQTFormat(uint32_t sensorCode, uint32_t *formatClass,
                                             uint32_t *bitsPerPixel);

QOR_END_DECLS

#endif
