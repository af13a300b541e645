#pragma once
// Lightmap UVs for meshes that have none: the surface is cut into charts of
// connected faces whose normals stay within a cone around the chart's first
// face and whose projection onto that face's plane never folds over itself;
// each chart is projected, turned to its smallest bounding rectangle, and
// scaled to one texel density shared by all charts; the charts are packed
// into the lightmap square with padding between them and from the border, at
// the largest density that fits. The same meshes give the same bytes.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "model_import.h"

namespace lumivex {

struct UvGenerationOptions {
  std::int32_t size = 512;   // the lightmap the layout is made for, 1 to 16384
  std::int32_t padding = 2;  // texels between charts and from the border
  // Called now and then with the share of the work done (0 to 1).
  std::function<void(double)> progress;
};

struct UvGenerationResult {
  bool generated = false;
  std::string problem;        // why there is no layout, when generated is false
  std::size_t charts = 0;
  double texelsPerUnit = 0;   // the density: texels per unit of model length
  double coveredShare = 0;    // the share of the square the charts take, as laid flat
  std::size_t snappedVertices = 0;  // moved onto texel corners so that small faces are sampled
};

// Replaces the lightmap coordinates of `meshes` with a generated layout that
// all of them share, placed clear (by the padding) of the texels that the
// lightmap coordinates of the `kept` meshes cover. Vertices are split along chart seams (a mesh's vertices
// become one per triangle corner; joining identical vertices afterwards
// shares them again). Triangles of no area in the model get a point (no
// lightmap area) on a neighbouring chart.
UvGenerationResult generateLightmapUvs(const std::vector<ImportedMesh*>& meshes, const UvGenerationOptions& options,
                                       const std::vector<const ImportedMesh*>& kept = {});

}  // namespace lumivex
