#include "support/image_reader.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb/stb_image.h>

namespace lumivex::testing {

Image readImage(const std::string& fileName) {
  Image image;
  unsigned char* data = stbi_load(fileName.c_str(), &image.width, &image.height, &image.channels, 0);
  if (data == nullptr) return {};
  image.pixels.assign(data, data + static_cast<std::size_t>(image.width) * image.height * image.channels);
  stbi_image_free(data);
  return image;
}

}  // namespace lumivex::testing
