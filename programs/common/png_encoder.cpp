#include "common/png_encoder.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

namespace lumivex {

std::vector<std::uint8_t> encodePng(const std::vector<std::uint8_t>& pixels, int width, int height, int channels) {
  std::vector<std::uint8_t> png;
  const auto append = [](void* context, void* data, int size) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(context);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
  };
  if (stbi_write_png_to_func(append, &png, width, height, channels, pixels.data(), width * channels) == 0) {
    png.clear();
  }
  return png;
}

}  // namespace lumivex
