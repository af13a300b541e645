#pragma once
// Texel corners held by a triangle laid into texel space exactly as the
// sampler lays it: which grid corners lie in the closed triangle, and which
// strictly inside, decided exactly (a corner on an edge is on the edge,
// whatever the rounding). The layout check and the layout generator judge
// triangles by these.

#include <algorithm>
#include <array>
#include <cstdint>

#include "math/orientation.h"
#include "sampling/sampled_mesh.h"

namespace lumivex {

// A triangle in texel space at one size, with its exact turn.
struct ExactTriangle {
  std::array<Point2, 3> corners;
  int turn = 0;  // the orientation of the three corners: 1 or -1; 0 for none
  std::uint32_t mesh = 0;
};

// The texel-space corners at `size` exactly as the sampler forms them
// (size x u rounded to float).
std::array<Point2, 3> texelCorners(const std::array<LightmapPoint, 3>& uvs, std::int32_t size);

// Every corner finite: the exact tests and the corner ranges take finite
// values only (a NaN would reach a conversion to an integer).
bool allFinite(const std::array<Point2, 3>& corners);

// The exact turn of the corners: 1 counter-clockwise, -1 clockwise, 0 for no
// area or a corner that is not finite.
int exactTurn(const std::array<Point2, 3>& corners);

// True when the closed triangle holds a texel corner of the grid (the
// sampler then gives it a sample).
bool coversTexelCorner(const std::array<LightmapPoint, 3>& uvs, std::int32_t size);

struct CornerRange {
  std::int32_t first, last;
};

// The columns of one row that a triangle holds: in the closed triangle, and
// strictly inside it. Empty when first > last.
struct RowSpans {
  CornerRange closed, strict;
  bool empty() const { return closed.first > closed.last; }
};

// The rows where a triangle may hold a corner, and the columns.
struct CornerBox {
  CornerRange cols, rows;
};

CornerBox cornerBox(const ExactTriangle& triangle, std::int32_t size);

// The spans of row `row` within `cols` that the triangle holds (its turn
// must not be 0).
RowSpans rowSpans(const ExactTriangle& triangle, CornerRange cols, std::int32_t row);

// Calls visit(row, spans) for every row in [firstRow, lastRow] where the
// closed triangle holds a grid corner.
template <typename Visit>
void forEachRow(const ExactTriangle& triangle, std::int32_t size, std::int32_t firstRow, std::int32_t lastRow,
                Visit&& visit) {
  const CornerBox box = cornerBox(triangle, size);
  if (box.cols.first > box.cols.last) return;
  const std::int32_t last = std::min(box.rows.last, lastRow);
  for (std::int32_t row = std::max(box.rows.first, firstRow); row <= last; ++row) {
    const RowSpans spans = rowSpans(triangle, box.cols, row);
    if (!spans.empty()) visit(row, spans);
  }
}

}  // namespace lumivex
