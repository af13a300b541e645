#include "bake_outputs.h"

#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfRgbaFile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "common/png_encoder.h"

namespace lumivex {

namespace {

// OpenEXR writes through a stream; this one keeps the bytes in memory, so the
// file itself is written whole or not at all.
class MemoryStream : public Imf::OStream {
 public:
  MemoryStream() : Imf::OStream("memory") {}
  void write(const char bytes[], int count) override {
    const auto end = position_ + static_cast<std::size_t>(count);
    if (end > bytes_.size()) bytes_.resize(end);
    std::memcpy(bytes_.data() + position_, bytes, static_cast<std::size_t>(count));
    position_ = end;
  }
  std::uint64_t tellp() override { return position_; }
  void seekp(std::uint64_t position) override { position_ = static_cast<std::size_t>(position); }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

// The largest finite half: brighter values would become infinities.
constexpr float kLargestHalf = 65504.0f;

std::uint8_t srgbByte(float linear) {
  const float clipped = std::clamp(std::isfinite(linear) ? linear : 0.0f, 0.0f, 1.0f);
  const float encoded = clipped <= 0.0031308f ? 12.92f * clipped : 1.055f * std::pow(clipped, 1.0f / 2.4f) - 0.055f;
  return static_cast<std::uint8_t>(std::lround(255.0f * encoded));
}

}  // namespace

std::vector<std::uint8_t> exrBytes(const BakeImage& image) {
  try {
    std::vector<Imf::Rgba> pixels(image.rgb.size() / 3);
    for (std::size_t texel = 0; texel < pixels.size(); ++texel) {
      const float* rgb = &image.rgb[3 * texel];
      pixels[texel] = Imf::Rgba(std::min(rgb[0], kLargestHalf), std::min(rgb[1], kLargestHalf),
                                std::min(rgb[2], kLargestHalf), image.written[texel] != 0 ? 1.0f : 0.0f);
    }
    MemoryStream stream;
    {
      // No worker threads: the same bytes every time.
      Imf::RgbaOutputFile file(stream, Imf::Header(image.width, image.height), Imf::WRITE_RGBA, 0);
      file.setFrameBuffer(pixels.data(), 1, static_cast<std::size_t>(image.width));
      file.writePixels(image.height);
    }
    return std::move(stream.bytes());
  } catch (const std::exception&) {
    return {};
  }
}

std::vector<std::uint8_t> pngBytes(const BakeImage& image, float exposure) {
  std::vector<std::uint8_t> pixels(image.rgb.size());
  for (std::size_t k = 0; k < pixels.size(); ++k) pixels[k] = srgbByte(image.rgb[k] * exposure);
  return encodePng(pixels, image.width, image.height, 3);
}

}  // namespace lumivex
