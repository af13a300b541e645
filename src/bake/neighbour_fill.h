#pragma once
// Filling texels from their neighbours: invalid texels from valid ones, and
// rings of uncovered texels around the charts (dilation).

#include <cstdint>
#include <vector>

namespace lumivex::bake {

// An image being filled: three floats per texel and which texels hold a value.
struct FillImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<float>& rgb;
  std::vector<std::uint8_t>& written;
};

// Gives each eligible texel without a value the mean of its written
// neighbours (all eight), ring by ring outwards, for at most `rings` rings
// (0: until no eligible texel touches a written one). Returns how many
// texels were filled. The order of the work does not change the result:
// each ring reads only values written before it.
std::uint64_t fillFromNeighbours(FillImage image, const std::vector<std::uint8_t>& eligible, std::uint32_t rings);

}  // namespace lumivex::bake
