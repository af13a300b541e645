#pragma once
// The lightmap's samples in memory (the public SampleGrid), and the samples file.

#include <lumivex/lumivex.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lumivex {

// Edge length of a square grid, 1 to 16384.
using LightmapSize = std::int32_t;

// The extra channels a new grid carries.
struct GridChannels {
  bool ids = false;           // triangleIds and meshIds: zero until markUncoveredIds
  bool barycentrics = false;  // zero throughout
};

// An all-zero grid with nothing covered; throws std::bad_alloc when memory
// runs out. Sizes must be valid (1 to 16384 on a side).
SampleGrid makeSampleGrid(LightmapSize size);
SampleGrid makeSampleGrid(GridSize size, const GridChannels& channels = {});

bool isValidGridSize(GridSize size);

// The library's own access to a grid's coverage bits and channels. Coverage:
// bit (col % 64) of word row * coverageWordsPerRow + col / 64; bits past the
// width may be set and mean nothing.
struct SampleGridAccess {
  static std::uint64_t* coverage(SampleGrid& grid) { return grid.coverage_; }
  static std::size_t coverageWordsPerRow(const SampleGrid& grid) { return grid.coverageWordsPerRow_; }
  static std::uint32_t* triangleIds(SampleGrid& grid) { return grid.triangleIds_; }
  static std::uint32_t* meshIds(SampleGrid& grid) { return grid.meshIds_; }
  static float* barycentrics(SampleGrid& grid) { return grid.barycentrics_; }
  static void setSmallTrianglesPlaced(SampleGrid& grid, std::uint64_t count) { grid.smallTrianglesPlaced_ = count; }
  static void adopt(SampleGrid& grid, GridSize size, void* block, std::size_t mappedBytes);
  // The coverage bits, and the channels asked for, of an adopted block.
  static void addCoverageAndChannels(SampleGrid& grid, const GridChannels& channels);
};

// Sets triangleIds and meshIds to kNoTriangle at every texel not covered,
// once sampling is done (the texels written hold theirs already).
void markUncoveredIds(SampleGrid& grid);

// Marks covered every texel whose six values are not all +0.0 (a grid read
// from a samples file).
void coverNonZeroTexels(SampleGrid& grid);

// The exact bytes of a samples file: the width and the height (little-endian
// int32), then 24 bytes per sample, six little-endian floats, in cell order.
std::vector<std::uint8_t> encodeSamplesFile(const SampleGrid& grid);

// The grid held in the bytes of a samples file (see readSamplesFile for the
// checks and the results).
Result decodeSamplesFile(const std::uint8_t* bytes, std::size_t length, SampleGrid& grid);

}  // namespace lumivex
