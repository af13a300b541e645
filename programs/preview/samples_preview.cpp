#include "samples_preview.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/png_encoder.h"

namespace lumivex {

namespace {

bool isFinite(const Sample& s) {
  for (float value : {s.position.x, s.position.y, s.position.z, s.normal.x, s.normal.y, s.normal.z}) {
    if (!std::isfinite(value)) return false;
  }
  return true;
}

std::uint8_t toByte(double unit) { return static_cast<std::uint8_t>(std::lround(std::clamp(unit, 0.0, 1.0) * 255.0)); }

double scaled(float value, float low, float high) {
  return high > low ? (double{value} - low) / (double{high} - low) : 0.5;
}

// The grid's coverage by cell index.
bool isCovered(const SampleGrid& grid, std::size_t cell) {
  const auto width = static_cast<std::size_t>(grid.width());
  return grid.covered(static_cast<std::int32_t>(cell % width), static_cast<std::int32_t>(cell / width));
}

}  // namespace

SamplesSummary summarise(const SampleGrid& grid) {
  SamplesSummary summary;
  summary.texels = grid.cellCount();
  bool anyBounds = false;
  for (std::size_t cell = 0; cell < grid.cellCount(); ++cell) {
    if (!isCovered(grid, cell)) continue;
    const Sample& s = grid.data()[cell];
    ++summary.covered;
    if (!isFinite(s)) {
      ++summary.nonFinite;
      continue;
    }
    const double length = std::sqrt(double{s.normal.x} * s.normal.x + double{s.normal.y} * s.normal.y +
                                     double{s.normal.z} * s.normal.z);
    if (std::fabs(length - 1.0) > 1e-3) ++summary.notUnitNormals;
    if (!anyBounds) {
      summary.minimum = summary.maximum = s.position;
      anyBounds = true;
    }
    summary.minimum = {std::min(summary.minimum.x, s.position.x), std::min(summary.minimum.y, s.position.y),
                       std::min(summary.minimum.z, s.position.z)};
    summary.maximum = {std::max(summary.maximum.x, s.position.x), std::max(summary.maximum.y, s.position.y),
                       std::max(summary.maximum.z, s.position.z)};
  }
  return summary;
}

std::string writePreviewImages(const SampleGrid& grid, const SamplesSummary& summary, const std::string& prefix,
                               RowOrder order) {
  const std::size_t texels = grid.cellCount();
  const auto width = static_cast<std::size_t>(grid.width());
  const auto height = static_cast<std::size_t>(grid.height());
  std::vector<std::uint8_t> normal(texels * 3, 0), position(texels * 3, 0), coverage(texels, 0);
  for (std::size_t i = 0; i < texels; ++i) {
    // Pixel i shows the texel of the same column in the row the order puts there.
    const std::size_t row = order == RowOrder::Down ? i / width : height - 1 - i / width;
    const std::size_t cell = row * width + i % width;
    if (!isCovered(grid, cell)) continue;
    const Sample& s = grid.data()[cell];
    coverage[i] = 255;
    if (!isFinite(s)) continue;
    normal[3 * i] = toByte(s.normal.x * 0.5 + 0.5);
    normal[3 * i + 1] = toByte(s.normal.y * 0.5 + 0.5);
    normal[3 * i + 2] = toByte(s.normal.z * 0.5 + 0.5);
    position[3 * i] = toByte(scaled(s.position.x, summary.minimum.x, summary.maximum.x));
    position[3 * i + 1] = toByte(scaled(s.position.y, summary.minimum.y, summary.maximum.y));
    position[3 * i + 2] = toByte(scaled(s.position.z, summary.minimum.z, summary.maximum.z));
  }
  struct Image {
    std::string name;
    const std::vector<std::uint8_t>* pixels;
    int channels;
  };
  for (const Image& image : {Image{prefix + "-normal.png", &normal, 3}, Image{prefix + "-position.png", &position, 3},
                             Image{prefix + "-coverage.png", &coverage, 1}}) {
    const std::vector<std::uint8_t> png = encodePng(*image.pixels, grid.width(), grid.height(), image.channels);
    const bool written = !png.empty() && writeWholeFile(image.name.c_str(), png).ok();
    if (!written) return image.name;
  }
  return "";
}

}  // namespace lumivex
