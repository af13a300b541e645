#pragma once
// Charts smaller than a texel: a small part whose faces meet at hard edges
// (the end of a thin board, a bolt's head) grows a chart per face, each
// taking a texel and its padding on every side. Such a chart is turned about
// an edge it shares with a neighbouring chart into that chart's plane, as a
// box unfolds, where it lies clear of the neighbour's faces.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "uv/charts.h"

namespace lumivex::uv {

// The small charts joined to others, each as grown: its faces, and their
// corners laid flat in it.
struct JoinedCharts {
  std::vector<std::uint32_t> faceStart{0};  // faces of each: CSR into faces
  std::vector<std::uint32_t> faces;
  std::vector<Triangle2> flat;              // per entry of faces
};

// Charts under a texel across at `expectedDensity` (texels per model unit)
// joined to a neighbouring chart of the same mesh (meshes' faces from
// `firstFace` on), smallest first, each to the neighbour whose hull it grows
// least, where that takes less room than the chart alone with its
// `padding`. No charts at all (faceStart empty) where none is joined;
// `joined` receives the charts joined.
Charts joinSmallCharts(const Faces& faces, std::span<const std::size_t> firstFace, const Charts& charts,
                       double expectedDensity, std::int32_t padding, JoinedCharts& joined);

// `charts` with the small charts `joined` of the meshes that `apart` marks
// (per mesh, nonzero) taken out of the charts they were joined to, each a
// chart of its own again, after the others; those leave `joined`. No charts
// at all where none is taken out.
Charts takeApart(const Charts& charts, JoinedCharts& joined, std::span<const std::size_t> firstFace,
                 std::span<const char> apart);

}  // namespace lumivex::uv
