#pragma once
// Charts: connected faces that lie flat together. From the largest face
// outwards, a face joins its neighbour's chart while its normal lies within
// the chart's cone and, laid flat on the chart's plane, it turns the chart's
// way and overlaps none of the chart's faces, so a chart never folds. Or a
// chart is rolled out along its faces' edges, each face keeping its shape,
// as a tube or a cone unrolls.

#include <cstdint>
#include <functional>
#include <vector>

#include "uv/faces.h"
#include "uv/geometry.h"

namespace lumivex::uv {

struct Charts {
  std::vector<std::int32_t> chartOf;        // per face; -1 for a degenerate face
  std::vector<std::uint32_t> faceStart;     // faces of each chart: CSR into faces
  std::vector<std::uint32_t> faces;
  std::vector<Triangle2> flat;              // per face: its corners laid flat in its chart
  std::vector<std::vector<Vec2>> hulls;     // per chart once found (findHulls): the convex hull of its faces laid flat
};

// Grows the charts; `maxChartAngle` in degrees. Each chart is laid flat on
// its first face's plane, or on its faces' mean plane where that keeps more
// of their area and still lies flat; or, where that takes more of the
// surface, it is rolled out along its faces' edges, each face turned about
// the edge it joins across. Each piece of the surface (faces joined by
// edges) keeps whichever of the two ways gives it fewer charts.
struct UnfoldLimits {
  double expectedDensity = 0;  // texels per unit, to judge charts by: large enough to roll out, faces not too thin
  bool unfold = true;          // false: every chart laid flat on a plane
};
// `threads` sort the seeds; the charts are the same for any number.
// `laidFlat`, where given and a chart kept is rolled out, receives the same
// surface in charts all laid flat on planes (as with `unfold.unfold` false);
// it is left as it is otherwise.
Charts growCharts(const Faces& faces, double maxChartAngle, const UnfoldLimits& unfold,
                  const std::function<void(double)>& progress, std::size_t threads = 1, Charts* laidFlat = nullptr);

// True when the interiors of two triangles (counter-clockwise) overlap by
// more than `tolerance`: no edge of either separates them.
bool interiorsOverlap(const Triangle2& a, const Triangle2& b, double tolerance);

}  // namespace lumivex::uv
