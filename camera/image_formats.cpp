#include "camera/image_formats.h"

#include <qorvanta/camera.h>
#include <qorvanta/status.h>

namespace qor::camera {

namespace {

struct SensorCodeRow {
    uint32_t sensorCodes[3];
    SensorFormat format;
};

// Three sensor codes share each pixel format; the format class names the top-left 2x2 cell.
constexpr SensorCodeRow kSensorCodes[] = {
    {{0, 5, 6}, {0, 0, false}},    {{8, 12, 24}, {8, 1, true}},   {{9, 13, 25}, {9, 2, true}},
    {{10, 14, 26}, {10, 3, true}}, {{11, 15, 27}, {11, 4, true}},
};

} // namespace

std::optional<SensorFormat> sensorFormatForCode(uint32_t sensorCode) {
    for (const SensorCodeRow &row : kSensorCodes)
        for (uint32_t code : row.sensorCodes)
            if (code == sensorCode) return row.format;
    return std::nullopt;
}

} // namespace qor::camera

extern "C" int32_t QORAImageFormatToQTFormat(uint32_t sensorCode, uint32_t *formatClass,
                                             uint32_t *bitsPerPixel) {
    if (bitsPerPixel) *bitsPerPixel = 8;
    std::optional<qor::camera::SensorFormat> format = qor::camera::sensorFormatForCode(sensorCode);
    if (!format) return badDepthErr;
    if (formatClass) *formatClass = format->formatClass;
    return noErr;
}
