#pragma once
// The lightmap's samples in memory, and the samples file.

#include <cstdint>
#include <string>
#include <vector>

#include "math/vector3.h"

namespace lumivex {

// Edge length of the square grid: 128, 256 or 512.
using LightmapSize = std::int32_t;

// One texel: the surface position and unit normal that map to it; all +0.0
// where no triangle covers the texel.
struct Sample {
  Vector3 position;
  Vector3 normal;
};
static_assert(sizeof(Sample) == 24);

// size x size samples, row-major: texel (col, row) is samples[row * size + col].
struct SampleGrid {
  LightmapSize size = 0;
  std::vector<Sample> samples;
};

SampleGrid makeSampleGrid(LightmapSize size);

inline std::size_t cellIndex(const SampleGrid& grid, std::int32_t col, std::int32_t row) {
  return static_cast<std::size_t>(row) * static_cast<std::size_t>(grid.size) + static_cast<std::size_t>(col);
}

// The exact bytes of a samples file: the size twice (little-endian int32),
// then 24 bytes per sample, six little-endian floats, in cell order.
std::vector<std::uint8_t> encodeSamplesFile(const SampleGrid& grid);

// The grid held in the bytes of a samples file of size 1 to 16384: the
// header's two sizes equal and the length exactly 8 + 24 x size x size;
// false otherwise.
bool decodeSamplesFile(const std::uint8_t* bytes, std::size_t length, SampleGrid& grid);

// Writes the samples file so that it is either complete or not touched at all
// (see writeFileAtomically). Returns false when anything fails.
bool writeSamplesFile(const std::string& fileName, const SampleGrid& grid);

}  // namespace lumivex
