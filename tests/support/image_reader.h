#pragma once
// Decodes PNG files for tests.

#include <cstdint>
#include <string>
#include <vector>

namespace lumivex::testing {

struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<std::uint8_t> pixels;  // rows top to bottom
  const std::uint8_t* at(int x, int y) const { return pixels.data() + (static_cast<std::size_t>(y) * width + x) * channels; }
};

// Empty image (width 0) when the file is missing or not an image.
Image readImage(const std::string& fileName);

}  // namespace lumivex::testing
