// The tone curve: contrast, brightness and gamma folded into one 256-entry table that the
// camera's FPGA applies to the pixels it sends.
#include "camera/registers.h"

#include <qorvanta/camera.h>
#include <qorvanta/status.h>

#include <array>
#include <cmath>

namespace {

using qor::camera::kRegToneCurveControl;
using qor::camera::kRegToneCurveTable;

std::array<uint8_t, 256> toneCurveTable(double contrast, double brightness, double gamma) {
    double exponent = gamma <= 0.01 ? 100.0 : gamma >= 5.0 ? 0.2 : 1.0 / gamma;
    double k = std::pow(255.0, 1.0 - exponent); // so that level 255 stays 255
    double offset = brightness * 2.56;
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        double v = contrast * (i + offset - 128.0) + 128.0;
        if (v >= 255.0)
            table[i] = 255;
        else if (v <= 0.0 || std::isnan(v))
            table[i] = 0;
        else
            table[i] = uint8_t(std::fmin(255.0, k * std::pow(v, exponent)));
    }
    return table;
}

} // namespace

extern "C" int32_t QORAApplyContrastBrightGammaLUT(Handle camera, double contrast,
                                                   double brightness, double gamma) {
    if (!cameraRecord(camera)) return kIOReturnNoDevice;
    int32_t result = QORAWriteOneCameraRegister(camera, kRegToneCurveControl, 0);
    if (result != 0) return result;
    if (contrast == 1.0 && brightness == 0.0 && gamma == 1.0) {
        // Neutral: the camera gets a zero word instead of an identity table.
        const uint8_t zero[4] = {0, 0, 0, 0};
        return qor::camera::writeRegisterData(camera, kRegToneCurveTable, zero, sizeof zero);
    }
    std::array<uint8_t, 256> table = toneCurveTable(contrast, brightness, gamma);
    return qor::camera::writeRegisterData(camera, kRegToneCurveTable, table.data(),
                                          uint16_t(table.size()));
}
