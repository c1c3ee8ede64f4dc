#include "capture/frame.h"

namespace qor::capture {

const char *layoutName(PixelLayout layout) {
    switch (layout) {
    case PixelLayout::Grey:
        return "grey";
    case PixelLayout::ARGB:
        return "ARGB";
    case PixelLayout::BGRA:
        return "BGRA";
    case PixelLayout::Mosaic:
        return "mosaic";
    }
    return "grey";
}

const char *mosaicName(MosaicPhase phase) {
    static const char *const kNames[] = {"", "RGGB", "GRBG", "GBRG", "BGGR"};
    const auto index = size_t(phase);
    return index < 5 ? kNames[index] : "";
}

uint32_t bytesPerPixel(PixelLayout layout) {
    return layout == PixelLayout::ARGB || layout == PixelLayout::BGRA ? 4 : 1;
}

} // namespace qor::capture
