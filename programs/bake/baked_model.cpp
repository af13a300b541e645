#include "baked_model.h"

namespace lumivex {

std::vector<MeshArrays> BakedModel::arrays() const {
  std::vector<MeshArrays> views;
  for (const BakedMesh& mesh : meshes) {
    MeshArrays arrays;
    arrays.vertices = mesh.vertices;
    arrays.indices32 = mesh.indices;
    views.push_back(arrays);
  }
  return views;
}

std::size_t BakedModel::triangleCount() const {
  std::size_t count = 0;
  for (const BakedMesh& mesh : meshes) count += mesh.indices.size() / 3;
  return count;
}

BakedModel bakedModelOf(const MeshFile& file) {
  BakedModel model;
  for (const MeshView& view : file.group(0)) {
    if (!view.sampled()) continue;
    BakedMesh mesh;
    const auto vertexCount = static_cast<std::size_t>(view.vertexCount);
    mesh.vertices.reserve(vertexCount);
    for (std::size_t k = 0; k < vertexCount; ++k) mesh.vertices.push_back(view.vertex(k));
    for (std::size_t entry = 0; entry + 3 <= view.indices.size(); entry += 3) {
      const std::uint32_t a = view.indices[entry], b = view.indices[entry + 1], c = view.indices[entry + 2];
      if (a >= vertexCount || b >= vertexCount || c >= vertexCount) continue;
      mesh.indices.insert(mesh.indices.end(), {a, b, c});
    }
    model.meshes.push_back(std::move(mesh));
  }
  return model;
}

}  // namespace lumivex
