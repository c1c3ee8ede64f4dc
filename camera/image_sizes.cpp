// Image sizes: window fitting, the size table and the selector mapping the settings page uses.
#include "camera/image_sizes.h"

#include "camera/registers.h"

#include <qorvanta/camera.h>

#include <cmath>

namespace {

using namespace qor::camera;

// Nominal sizes offered below the full sensor, largest first.
constexpr struct {
    uint16_t width, height;
} kNominalSizes[] = {{3840, 3072}, {3072, 2304}, {2560, 2048}, {2048, 1536}, {1600, 1200},
                     {1280, 1024}, {1024, 768},  {800, 600},   {640, 480},   {320, 240}};

// Rounds to the nearest multiple of step, ties to the even multiple.
uint32_t fitToStep(uint16_t size, uint16_t step) {
    if (step == 0) return size;
    return uint32_t(std::nearbyint(double(size) / double(step))) * step;
}

uint16_t centredEvenOrigin(uint16_t full, uint32_t size) {
    uint32_t origin = (full - size) / 2;
    return uint16_t(origin & 1 ? origin + 1 : origin);
}

} // namespace

int32_t myVerifyCameraDimensions(CameraHandle camera, uint16_t *width, uint16_t *height,
                                 uint16_t subsample) {
    CameraRecord *record = cameraRecord(camera);
    if (!record || !width || !height) return 0;
    uint32_t w, h;
    if (*width >= record->maxWidth || *height >= record->maxHeight) {
        w = record->maxWidth;
        h = record->maxHeight;
    } else {
        w = fitToStep(*width, record->widthStep);
        h = fitToStep(*height, record->heightStep);
    }
    // A size that rounds up past the sensor cannot be centred on it.
    if (w > record->maxWidth || h > record->maxHeight || w == 0 || h == 0) return 0;
    uint16_t left = centredEvenOrigin(record->maxWidth, w);
    uint16_t top = centredEvenOrigin(record->maxHeight, h);

    if (QORAWriteTwoCameraRegister(camera, kRegWindowOrigin, left, top) != 0 ||
        QORAWriteTwoCameraRegister(camera, kRegWindowSize, uint16_t(w), uint16_t(h)) != 0 ||
        QORAWriteTwoCameraRegister(camera, kRegSubsampling, subsample, subsample) != 0 ||
        QORAWriteOneCameraRegister(camera, kRegPixelFormat, record->sensorType) != 0)
        return 0;
    if (record->windowResetRequired == 1 &&
        QORAWriteOneCameraRegister(camera, kRegWindowReset, 0) != 0)
        return 0;
    *width = uint16_t(w);
    *height = uint16_t(h);
    return 1;
}

void myFillInWidthHeightSubSampleArray(CameraHandle camera) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return;
    uint16_t halfW = 0, halfH = 0;
    if (record->subsampleSupported == 1) {
        halfW = record->maxWidth / 2;
        halfH = record->maxHeight / 2;
    }
    record->imageSizeWidths[0] = record->maxWidth;
    record->imageSizeHeights[0] = record->maxHeight;
    record->imageSizeSubsampled[0] = 0;
    uint16_t count = 1;
    for (const auto &size : kNominalSizes) {
        if (record->maxWidth > size.width && record->maxHeight > size.height) {
            record->imageSizeWidths[count] = size.width;
            record->imageSizeHeights[count] = size.height;
            record->imageSizeSubsampled[count] = 0;
            if (myVerifyCameraDimensions(camera, &record->imageSizeWidths[count],
                                         &record->imageSizeHeights[count], 1) == 1)
                ++count;
        }
        if (halfW > size.width && halfH > size.height) {
            record->imageSizeWidths[count] = uint16_t(2 * size.width);
            record->imageSizeHeights[count] = uint16_t(2 * size.height);
            record->imageSizeSubsampled[count] = 1;
            if (myVerifyCameraDimensions(camera, &record->imageSizeWidths[count],
                                         &record->imageSizeHeights[count], 2) == 1) {
                record->imageSizeWidths[count] >>= 1;
                record->imageSizeHeights[count] >>= 1;
                ++count;
            }
        }
    }
    record->imageSizeCount = count;
}

extern "C" {

uint32_t QORAImageSizeSubSampleToSelector(Handle camera, uint32_t width, uint32_t height,
                                          uint32_t subsampled) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return 0;
    for (uint32_t i = 0; i < record->imageSizeCount && i < kImageSizeTableSize; ++i) {
        if (record->imageSizeSubsampled[i] == subsampled && record->imageSizeWidths[i] <= width &&
            record->imageSizeHeights[i] <= height)
            return i;
    }
    return 0;
}

void QORASelectorToImageSizeSubSample(Handle camera, uint32_t selector, uint32_t *width,
                                      uint32_t *height, uint8_t *subsampled) {
    CameraRecord *record = cameraRecord(camera);
    if (!record || !width || !height || !subsampled) return;
    uint32_t count = record->imageSizeCount;
    if (count > kImageSizeTableSize) count = kImageSizeTableSize;
    // Before the table exists there is no entry to give: report the empty entry 0.
    uint32_t entry = count == 0 ? 0 : (selector < count ? selector : count - 1);
    *width = record->imageSizeWidths[entry];
    *height = record->imageSizeHeights[entry];
    *subsampled = record->imageSizeSubsampled[entry];
}

} // extern "C"
