#pragma once
// The meshes of a mesh file's first group as the baker takes them, held in
// memory: what the lumivex command samples, and nothing else.

#include <lumivex/lumivex.h>

#include <cstdint>
#include <vector>

namespace lumivex {

struct BakedMesh {
  std::vector<Vertex> vertices;
  std::vector<std::uint32_t> indices;  // whole triangles naming vertices of this mesh
};

struct BakedModel {
  std::vector<BakedMesh> meshes;
  // Views of `meshes` for the library; valid while `meshes` is unchanged.
  std::vector<MeshArrays> arrays() const;
  std::size_t triangleCount() const;
};

// The first group's meshes with 40-byte vertex slots, without the triangles
// the sampler skips (an index past the mesh's vertices, a partial triple).
BakedModel bakedModelOf(const MeshFile& file);

}  // namespace lumivex
