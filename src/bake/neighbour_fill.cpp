#include "bake/neighbour_fill.h"

#include <cstddef>

namespace lumivex::bake {

namespace {

template <typename Visit>
void forNeighbours(const FillImage& image, std::size_t texel, Visit&& visit) {
  const auto width = static_cast<std::size_t>(image.width), height = static_cast<std::size_t>(image.height);
  const std::size_t col = texel % width, row = texel / width;
  for (std::size_t r = row > 0 ? row - 1 : 0; r <= row + 1 && r < height; ++r) {
    for (std::size_t c = col > 0 ? col - 1 : 0; c <= col + 1 && c < width; ++c) {
      if (r != row || c != col) visit(r * width + c);
    }
  }
}

}  // namespace

std::uint64_t fillFromNeighbours(FillImage image, const std::vector<std::uint8_t>& eligible, std::uint32_t rings) {
  const std::size_t texels = eligible.size();
  std::vector<std::uint8_t> queued(texels, 0);
  std::vector<std::size_t> ring;
  for (std::size_t texel = 0; texel < texels; ++texel) {
    if (eligible[texel] == 0 || image.written[texel] != 0) continue;
    bool touches = false;
    forNeighbours(image, texel, [&](std::size_t other) { touches = touches || image.written[other] != 0; });
    if (touches) {
      queued[texel] = 1;
      ring.push_back(texel);
    }
  }
  std::uint64_t filled = 0;
  std::vector<float> values;
  for (std::uint32_t done = 0; !ring.empty() && (rings == 0 || done < rings); ++done) {
    values.assign(3 * ring.size(), 0.0f);
    for (std::size_t k = 0; k < ring.size(); ++k) {
      float count = 0.0f;
      forNeighbours(image, ring[k], [&](std::size_t other) {
        if (image.written[other] == 0) return;
        for (int channel = 0; channel < 3; ++channel) values[3 * k + channel] += image.rgb[3 * other + channel];
        count += 1.0f;
      });
      for (int channel = 0; channel < 3; ++channel) values[3 * k + channel] /= count;
    }
    std::vector<std::size_t> next;
    for (std::size_t k = 0; k < ring.size(); ++k) {
      for (int channel = 0; channel < 3; ++channel) image.rgb[3 * ring[k] + channel] = values[3 * k + channel];
      image.written[ring[k]] = 1;
    }
    filled += ring.size();
    for (const std::size_t texel : ring) {
      forNeighbours(image, texel, [&](std::size_t other) {
        if (eligible[other] != 0 && image.written[other] == 0 && queued[other] == 0) {
          queued[other] = 1;
          next.push_back(other);
        }
      });
    }
    ring.swap(next);
  }
  return filled;
}

}  // namespace lumivex::bake
