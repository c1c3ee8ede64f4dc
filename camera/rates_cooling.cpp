// Data rates, the cooler and its fan, and the image properties read and written as one group.
#include "camera/registers.h"

#include "camera/image_formats.h"

#include <qorvanta/camera.h>
#include <qorvanta/status.h>

#include <cstdlib>

namespace {

using namespace qor::camera;

constexpr uint32_t kCoolerOn = 0x8000;
constexpr uint32_t kFanOn = 0x8000;
constexpr uint32_t kMinimumProbeLevel = 2;

void forgetRateTable(CameraRecord &record) {
    std::free(record.dataRateTable);
    record.dataRateTable = nullptr;
    record.dataRateCount = 0;
}

float celsiusFromMilliKelvin(uint32_t milliKelvin) {
    return float(double(milliKelvin) / 1000.0 - 273.0);
}

} // namespace

extern "C" {

int32_t QORAGetSupportedKBPSRates(Handle camera) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return kIOReturnNoDevice;
    forgetRateTable(*record);

    uint32_t unused = 0, count = 0;
    int32_t result = QORAReadOneCameraRegister(camera, kRegRateListReset, &unused);
    if (result == 0) result = QORAReadOneCameraRegister(camera, kRegRateCount, &count);
    if (result != 0) return result;
    if (count == 0) return -1;
    // A camera never lists more than a handful; a wild count is a broken answer, not a table.
    if (count > 0xFFFF) return -1;
    auto *table = static_cast<uint16_t *>(std::calloc(count + 1, sizeof(uint16_t)));
    if (!table) return 0;
    record->dataRateTable = table;
    record->dataRateCount = count;

    // Each read of the list port gives the next two rates.
    for (uint32_t k = 0; 2 * k < count; ++k) {
        uint16_t first = 0, second = 0;
        result = QORAReadTwoCameraRegister(camera, kRegRateListPort, &first, &second);
        if (result != 0) {
            forgetRateTable(*record);
            return result;
        }
        table[2 * k] = first;
        if (2 * k + 1 < count) table[2 * k + 1] = second;
    }
    return 0;
}

int32_t QORASetKBPSRateIndex(Handle camera, uint32_t index) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return kIOReturnNoDevice;
    if (!record->dataRateTable || record->dataRateCount == 0) return -1;
    uint32_t last = record->dataRateCount - 1;
    uint16_t rate = record->dataRateTable[index <= last ? index : last];
    return QORAWriteOneCameraRegister(camera, kRegDataRate, rate);
}

void QORASetCameraCooling(Handle camera, uint8_t on, double temperatureCelsius) {
    CameraRecord *record = cameraRecord(camera);
    if (!record || record->coolingSupported != 1) return;
    record->coolingOn = on;

    if (writeRegisterBit(camera, kRegCooler, kCoolerOn, on == 1) == 0) {
        uint32_t lowest = 0, highest = 0;
        QORAReadOneCameraRegister(camera, kRegCoolerLowest, &lowest);
        QORAReadOneCameraRegister(camera, kRegCoolerHighest, &highest);
        float low = celsiusFromMilliKelvin(lowest);
        float high = celsiusFromMilliKelvin(highest);
        // Outside the cooler's range (either side) the set-point falls back to the lowest.
        double setPoint =
            (low <= temperatureCelsius && temperatureCelsius <= high) ? temperatureCelsius : low;
        double milliKelvin = (setPoint + 273.0) * 1000.0;
        QORAWriteOneCameraRegister(camera, kRegCoolerSetPoint,
                                   milliKelvin > 0.0 ? uint32_t(milliKelvin) : 0);
    }

    if (record->fanSupported == 1)
        writeRegisterBit(camera, kRegFan, kFanOn, record->coolingOn == 1);
}

int32_t QORASetCameraImageProperties(Handle camera, uint16_t left, uint16_t top, uint16_t width,
                                     uint16_t height, uint16_t subsampleX, uint16_t subsampleY,
                                     uint32_t formatCode) {
    if (!cameraRecord(camera)) return kIOReturnNoDevice;
    int32_t result = QORAWriteTwoCameraRegister(camera, kRegWindowOrigin, left, top);
    if (result == 0) result = QORAWriteTwoCameraRegister(camera, kRegWindowSize, width, height);
    if (result == 0)
        result = QORAWriteTwoCameraRegister(camera, kRegSubsampling, subsampleX, subsampleY);
    if (result == 0) result = QORAWriteOneCameraRegister(camera, kRegPixelFormat, formatCode);
    return result;
}

int32_t QORAGetCameraImageProperties(Handle camera, uint16_t *maxWidth, uint16_t *maxHeight,
                                     uint16_t *widthStep, uint16_t *heightStep, uint16_t *left,
                                     uint16_t *top, uint16_t *width, uint16_t *height,
                                     uint16_t *subsampleX, uint16_t *subsampleY,
                                     uint32_t *formatCode, uint8_t *colorSensor,
                                     uint8_t *subsampleSupported) {
    if (!cameraRecord(camera)) return kIOReturnNoDevice;
    if (!maxWidth || !maxHeight || !widthStep || !heightStep || !left || !top || !width ||
        !height || !subsampleX || !subsampleY || !formatCode || !colorSensor || !subsampleSupported)
        return paramErr;
    *subsampleSupported = 0;

    struct PairRead {
        uint16_t reg;
        uint16_t *first, *second;
    };
    const PairRead pairs[] = {{kRegSensorSize, maxWidth, maxHeight},
                              {kRegWindowStep, widthStep, heightStep},
                              {kRegWindowOrigin, left, top},
                              {kRegWindowSize, width, height},
                              {kRegSubsampling, subsampleX, subsampleY}};
    for (const PairRead &pair : pairs) {
        int32_t result = QORAReadTwoCameraRegister(camera, pair.reg, pair.first, pair.second);
        if (result != 0) return result;
    }
    uint32_t sensorCode = 0;
    int32_t result = QORAReadOneCameraRegister(camera, kRegSensorCode, &sensorCode);
    if (result != 0) return result;
    auto format = qor::camera::sensorFormatForCode(sensorCode);
    if (!format) return badDepthErr;
    *formatCode = format->pixelFormatCode;
    *colorSensor = format->color ? 1 : 0;

    // Probe whether the pixel format survives 2x2 subsampling. Nothing here fails the read.
    uint32_t level = 0, capabilities = 0;
    if (QORAReadOneCameraRegister(camera, kRegSubsampleLevel, &level) != 0 ||
        (level & 0xFF) < kMinimumProbeLevel)
        return 0;
    if (QORAReadOneCameraRegister(camera, kRegCapabilities, &capabilities) != 0 ||
        !(capabilities & 1))
        return 0;
    if (QORAWriteOneCameraRegister(camera, kRegPixelFormat, *formatCode) != 0) return 0;
    if (QORAWriteTwoCameraRegister(camera, kRegSubsampling, 2, 2) != 0) return 0;
    uint32_t formatAfter = 0;
    if (QORAReadOneCameraRegister(camera, kRegPixelFormat, &formatAfter) == 0)
        *subsampleSupported = formatAfter == *formatCode ? 1 : 0;
    // Put the subsampling back even when the read-back failed: the record still describes the
    // subsampling read above, and the frames must match it.
    QORAWriteTwoCameraRegister(camera, kRegSubsampling, *subsampleX, *subsampleY);
    return 0;
}

} // extern "C"
