// Writes decoded frames as PNG files.
#pragma once

#include <cstdint>
#include <string>

namespace qor::apps {

// Pixels are rows of width B,G,R,A pixels (colour) or width grey bytes, rowBytes apart.
// Returns an empty string on success, else what went wrong.
std::string writePng(const std::string &path, const uint8_t *pixels, uint32_t width,
                     uint32_t height, uint32_t rowBytes, bool colour);

} // namespace qor::apps
