/* Camera control: image sizes and pixel formats. */
#ifndef QORVANTA_CAMERA_H
#define QORVANTA_CAMERA_H

#include <stdint.h>

#include "export.h"
#include "types.h"

QOR_BEGIN_DECLS

/* Maps the sensor code of camera register 0x1014 to its format class (0 monochrome, 1 RGGB,
 * 2 GRBG, 3 GBRG, 4 BGGR). *bitsPerPixel is always 8. Returns 0, or badDepthErr (-2207) for a
 * code no camera of the family uses, leaving *formatClass as it was. */
QOR_EXPORT int32_t QORAImageFormatToQTFormat(uint32_t sensorCode, uint32_t *formatClass,
                                             uint32_t *bitsPerPixel);

/* ---- Register access. Every camera setting is a 32-bit register, read and written with the
 * vendor request 0x12 (register number in wIndex, value little-endian). A two-half access
 * splits the value into bits 0-15 (first) and bits 16-31 (second). Returns 0, -1 for a short
 * read, kIOReturnNoDevice for a null or closed camera, or the IOKit error. A write may answer
 * kIOReturnOverrun, which counts as done. */
QOR_EXPORT int32_t QORAReadOneCameraRegister(Handle camera, uint16_t reg, uint32_t *value);
QOR_EXPORT int32_t QORAReadTwoCameraRegister(Handle camera, uint16_t reg, uint16_t *first,
                                             uint16_t *second);
QOR_EXPORT int32_t QORAWriteOneCameraRegister(Handle camera, uint16_t reg, uint32_t value);
QOR_EXPORT int32_t QORAWriteTwoCameraRegister(Handle camera, uint16_t reg, uint16_t first,
                                              uint16_t second);

/* ---- Video controls, each identified by the first register of its block: 0x0400, 0x04A0
 * exposure (microseconds), 0x04F0 gain, 0x0500 red, 0x0510 and 0x0520 green, 0x0530 blue. */
QOR_EXPORT int32_t QORAGetVideoControlProperties(Handle camera, uint16_t control,
                                                 uint8_t *autoSupported, uint8_t *autoOn,
                                                 uint32_t *minimum, uint32_t *maximum,
                                                 uint32_t *value);
/* valueSize 4 addresses the control's value, any other size its automatic-mode flag. */
QOR_EXPORT int32_t QORAGetVideoControlValue(Handle camera, uint16_t control, uint32_t valueSize,
                                            uint32_t *value);
QOR_EXPORT int32_t QORASetVideoControlValue(Handle camera, uint16_t control, uint32_t valueSize,
                                            uint32_t value);
/* Arms the automatic colour balance toward the record's target colour; the frame path carries
 * it out over the next frames. */
QOR_EXPORT int32_t QORAStartColorBalance(Handle camera);

/* ---- Data rates (units of 1024 bytes per second), cooling, image properties. */
QOR_EXPORT int32_t QORAGetSupportedKBPSRates(Handle camera);
QOR_EXPORT int32_t QORASetKBPSRateIndex(Handle camera, uint32_t index);
QOR_EXPORT void QORASetCameraCooling(Handle camera, uint8_t on, double temperatureCelsius);
QOR_EXPORT int32_t QORASetCameraImageProperties(Handle camera, uint16_t left, uint16_t top,
                                                uint16_t width, uint16_t height,
                                                uint16_t subsampleX, uint16_t subsampleY,
                                                uint32_t formatCode);
QOR_EXPORT int32_t QORAGetCameraImageProperties(Handle camera, uint16_t *maxWidth,
                                                uint16_t *maxHeight, uint16_t *widthStep,
                                                uint16_t *heightStep, uint16_t *left, uint16_t *top,
                                                uint16_t *width, uint16_t *height,
                                                uint16_t *subsampleX, uint16_t *subsampleY,
                                                uint32_t *formatCode, uint8_t *colorSensor,
                                                uint8_t *subsampleSupported);

/* ---- The image-size table built at open: index (selector) to size and back. */
QOR_EXPORT uint32_t QORAImageSizeSubSampleToSelector(Handle camera, uint32_t width, uint32_t height,
                                                     uint32_t subsampled);
QOR_EXPORT void QORASelectorToImageSizeSubSample(Handle camera, uint32_t selector, uint32_t *width,
                                                 uint32_t *height, uint8_t *subsampled);

/* ---- Tone curve: contrast, brightness and gamma folded into the camera's 256-entry table. */
QOR_EXPORT int32_t QORAApplyContrastBrightGammaLUT(Handle camera, double contrast,
                                                   double brightness, double gamma);

QOR_END_DECLS

#endif
