// A plain per-pixel Bayer decoder, written straight from the decoding rules, that the
// optimised decoder is checked against. Destination rows are width * 4 bytes, no padding.
#pragma once

#include <cstdint>
#include <vector>

namespace qor::test {

std::vector<uint8_t> referenceBayerDecode(const std::vector<uint8_t> &source, uint32_t bayerPattern,
                                          uint32_t decodeMethod, uint32_t outputFormat,
                                          uint32_t width, uint32_t height);

} // namespace qor::test
