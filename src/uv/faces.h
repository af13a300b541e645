#pragma once
// The faces of the meshes to lay out, welded by position: which faces share
// an edge, and each face's normal and area in the model.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "sampling/sampled_mesh.h"
#include "uv/geometry.h"

namespace lumivex::uv {

struct Faces {
  std::vector<Vec3> positions;                        // one per distinct position
  std::vector<std::array<std::uint32_t, 3>> corners;  // position numbers per face
  std::vector<Vec3> normals;                          // unit, or zero for a degenerate face
  std::vector<double> areas;                          // 0 for a degenerate face
  std::vector<std::uint32_t> neighbourStart;          // faces sharing an edge: CSR, by face number
  std::vector<std::uint32_t> neighbours;
  std::vector<char> onCrowdedEdge;                    // per face: an edge of it has three faces or more
};

// The faces of every mesh, mesh by mesh in triangle order. Corners with
// identical positions (to the bit, -0 as +0) are one position. `threads` share the work;
// the result is the same for any number.
Faces collectFaces(std::span<const SampledMesh> meshes, std::size_t threads);

}  // namespace lumivex::uv
