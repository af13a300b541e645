#pragma once

#include <cstdint>
#include <vector>

namespace lumivex {

// PNG bytes of 8-bit pixels, rows top to bottom; empty when encoding fails.
std::vector<std::uint8_t> encodePng(const std::vector<std::uint8_t>& pixels, int width, int height, int channels);

}  // namespace lumivex
