// Writes decoded frames as PNG files.
#pragma once

#include <cstdint>
#include <string>

namespace qor::apps {

// How a frame's pixels are laid out: one grey byte, or four bytes of colour in either order.
enum class PixelLayout { Grey, ARGB, BGRA };

// Pixels are rows of width pixels of the layout, rowBytes apart. Colour frames are written as
// RGB (the alpha byte is dropped). `fast` trades file size for speed. Returns an empty string
// on success, else what went wrong.
std::string writePng(const std::string &path, const uint8_t *pixels, uint32_t width,
                     uint32_t height, uint32_t rowBytes, PixelLayout layout, bool fast = false);

} // namespace qor::apps
