#pragma once
// A plain count of what a lightmap layout gives the sampler: every texel
// corner of a window against every triangle, the side tests in 128-bit
// integers on coordinates held exactly in fixed point. Slow and obviously
// right, to hold the layout check (and generated layouts) to.

#include <lumivex/layout.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lumivex::testing {

// Fixed point at 2^-fixedShift: every texel-space coordinate of a layout
// under test must be a multiple of it (checked), and coordinates times
// 2^fixedShift must stay below 2^62 (so that products stay within 128 bits).
// 2^-54 suits coordinates down to 2^-31 up to 2^7; 2^-40 suits the floats of
// at least 1 up to 2^8.
extern int fixedShift;

// One mesh of a layout under test: records and three indices per triangle.
struct LayoutMesh {
  std::string name;
  const std::vector<Vertex>* vertices = nullptr;
  const std::vector<std::uint32_t>* triangles = nullptr;
};

// What the plain count finds, in the report's terms; and per triangle of
// each mesh, whether it holds a texel corner.
struct PlainReport {
  std::int32_t size = 0;
  LayoutCounts total;
  std::vector<LayoutCounts> meshes;
  std::int32_t sizeSamplingAll = 0;
  std::vector<std::vector<char>> holdsCorner;
};

// Every corner of the window (the whole grid by default) against every
// triangle; all triangles must lie within the window's corners.
struct Window {
  std::int32_t firstCol = 0, firstRow = 0, cols = 0, rows = 0;  // 0: to the grid's end
};

PlainReport countPlainly(const std::vector<LayoutMesh>& meshes, std::int32_t size, std::int32_t largestSizeTried,
                         Window window = {});

}  // namespace lumivex::testing
