/* Pixel operations of the camera library: demosaic, colour correction, frame statistics,
 * in-place flips. Pure functions of their arguments; none allocates. */
#ifndef QORVANTA_IMAGING_H
#define QORVANTA_IMAGING_H

#include <stdint.h>

#include "export.h"

QOR_BEGIN_DECLS

/* Raw 8-bit frame to 8-bit grey (bayerPattern 0) or 32-bit colour pixels (1 RGGB, 2 GRBG,
 * 3 GBRG, 4 BGGR; other values write nothing). decodeMethod 1 interpolates, any other value
 * uses the 2x2 block method. outputFormat 1 gives bytes A,R,G,B; any other value B,G,R,A. */
QOR_EXPORT void QORRAWImageDecodeToImageBuffer(const uint8_t *source, uint8_t *destination,
                                               uint32_t bayerPattern, uint32_t decodeMethod,
                                               uint32_t outputFormat, uint32_t destRowBytes,
                                               uint32_t width, uint32_t height);

/* One calibrated colour-correction matrix of a camera model (row-major, row r = output channel
 * r of R,G,B). The table ends with a record whose productID is 0: the default matrix. */
typedef struct QORAColorMatrixRecord {
    uint16_t productID;
    uint16_t index;
    float matrix[9];
} QORAColorMatrixRecord;

QOR_EXPORT extern const QORAColorMatrixRecord kBaseColorMatrices[];

QOR_EXPORT void QORAGetBaseRGBCorrectionMatrix(float matrix[9], uint16_t productID,
                                               uint16_t index);
QOR_EXPORT void QORAApplyHueSatCorrectionToMatrix(float matrix[9], float hueDegrees,
                                                  float saturation);
/* layout 1: pixels are A,R,G,B in memory; any other value: B,G,R,A. */
QOR_EXPORT void QORAApplyRGBMatrixToRGBImage(uint32_t *pixels, const float matrix[9],
                                             int32_t layout, int32_t rowBytes, uint32_t width,
                                             int32_t height);
QOR_EXPORT void QORARedSaturateRGBImage(uint32_t *pixels, int32_t layout, int32_t rowBytes,
                                        uint32_t width, int32_t height);

/* Average red, green and blue levels of a raw mosaic frame (format class as for the decode). */
QOR_EXPORT void QORAGetBayerFrameAverageRGBValues(const uint8_t *raw, uint32_t formatClass,
                                                  uint32_t rowStride, uint32_t rowPixels,
                                                  uint32_t rows, uint8_t *avgR, uint8_t *avgG,
                                                  uint8_t *avgB);

/* In-place mirrors of a raw frame. With bayer set the mosaic phase is kept. scratchRow holds
 * at least rowBytes bytes. */
QOR_EXPORT void QORAFlipVerticalImage8Bit(uint8_t *image, uint8_t *scratchRow, uint32_t rowBytes,
                                          uint32_t rows, int32_t bayer);
QOR_EXPORT void QORAFlipHorizontalImage8Bit(uint8_t *image, uint32_t rowBytes, uint32_t rows,
                                            int32_t bayer);

QOR_END_DECLS

#endif
