#pragma once
// A face too small to hold a texel corner gets no sample. Moving one of its
// chart-inner vertices onto a nearby corner gives it one (a vertex on a
// corner lies in the closed face) and keeps the chart sound as long as every
// face around the vertex keeps its turn: the vertex then stays inside the
// polygon its neighbours form, so nothing overlaps and the chart's outline,
// and with it the padding, does not change. A move is kept when the faces
// around the vertex hold more sampled area than before.

#include <array>
#include <cstdint>
#include <vector>

#include "sampling/sampled_mesh.h"
#include "uv/packing.h"

namespace lumivex::uv {

// Where each chart sits: the cells it may cover (its image, turned as placed,
// from its place), which keep the padding to every other chart.
struct ChartCells {
  std::vector<CellImage> images;
  std::vector<Placement> placements;
};

// Moves vertices of faces that hold no texel corner onto texel corners
// where that is sound; `points` are the lightmap points of every face's
// corners (faces of no chart are left alone). Returns the vertices moved.
// Charts are snapped side by side on `threads` threads; the result is the same
// for any number.
std::size_t snapToTexelCorners(const Faces& faces, const Charts& charts, std::int32_t size, const ChartCells& cells,
                               std::size_t threads, std::vector<std::array<LightmapPoint, 3>>& points);

}  // namespace lumivex::uv
