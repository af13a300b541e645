#pragma once
// The lightmap's samples in memory (the public SampleGrid), and the samples file.

#include <lumivex/lumivex.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lumivex {

// Edge length of the square grid, 1 to 16384.
using LightmapSize = std::int32_t;

// An all-zero grid; throws std::bad_alloc when memory runs out.
SampleGrid makeSampleGrid(LightmapSize size);

// The exact bytes of a samples file: the size twice (little-endian int32),
// then 24 bytes per sample, six little-endian floats, in cell order.
std::vector<std::uint8_t> encodeSamplesFile(const SampleGrid& grid);

// The grid held in the bytes of a samples file (see readSamplesFile for the
// checks and the results).
Result decodeSamplesFile(const std::uint8_t* bytes, std::size_t length, SampleGrid& grid);

}  // namespace lumivex
