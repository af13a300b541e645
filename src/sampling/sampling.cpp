// The public face of the sampler: checks the caller's arrays, then rasterises.

#include <limits>
#include <vector>

#include "api/guarded.h"
#include "mesh/mesh_file_access.h"
#include "output/sample_grid.h"
#include "sampling/rasteriser.h"

namespace lumivex {

namespace {

Result invalid(const char* problem, std::uint64_t where = 0) { return {Status::InvalidArgument, problem, where}; }

template <typename Index>
Result checkIndices(std::span<const Index> indices, std::size_t vertexCount, std::size_t position) {
  if (indices.size() % 3 != 0) return invalid("indices: length is not a multiple of 3", position);
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (indices[i] >= vertexCount) return invalid("indices: an entry names a vertex past the end of the vertices", i);
  }
  return {};
}

// Checks one mesh and describes it for the rasteriser.
Result describe(const MeshArrays& mesh, std::size_t position, SampledMesh& sampled) {
  const bool records = !mesh.vertices.empty();
  const bool arrays = !mesh.positions.empty() || !mesh.normals.empty() || !mesh.lightmapUvs.empty();
  if (records && arrays) return invalid("vertices: give either records or positions, normals and lightmapUvs", position);
  if (!mesh.indices16.empty() && !mesh.indices32.empty()) {
    return invalid("indices: give either indices16 or indices32", position);
  }
  std::size_t vertexCount = mesh.vertices.size();
  if (records) {
    sampled = sampledMeshOf(mesh.vertices, {});
  } else {
    if (mesh.positions.size() % 3 != 0) return invalid("positions: length is not a multiple of 3", position);
    vertexCount = mesh.positions.size() / 3;
    if (mesh.normals.size() != 3 * vertexCount) return invalid("normals: length differs from that of positions", position);
    if (mesh.lightmapUvs.size() != 2 * vertexCount) {
      return invalid("lightmapUvs: length is not 2 per vertex of positions", position);
    }
    const auto array = [](const float* values, std::size_t components) {
      return AttributeArray{reinterpret_cast<const std::uint8_t*>(values), 4 * components, 4 * components};
    };
    sampled = {};
    sampled.positions = array(mesh.positions.data(), 3);
    sampled.normals = array(mesh.normals.data(), 3);
    sampled.lightmapUvs = array(mesh.lightmapUvs.data(), 2);
    sampled.vertexCount = vertexCount;
  }
  if (!mesh.indices32.empty()) {
    if (const Result checked = checkIndices(mesh.indices32, vertexCount, position); !checked) return checked;
    sampled.indices32 = mesh.indices32.data();
    sampled.indices16 = nullptr;
    sampled.triangleCount = mesh.indices32.size() / 3;
  } else {
    if (const Result checked = checkIndices(mesh.indices16, vertexCount, position); !checked) return checked;
    sampled.indices16 = mesh.indices16.data();
    sampled.triangleCount = mesh.indices16.size() / 3;
  }
  return {};
}

Result rasterise(std::span<const SampledMesh> meshes, std::int32_t size, SampleGrid& grid,
                 const SampleOptions& options) {
  SampleGrid fresh = makeSampleGrid(size);
  if (!rasteriseMeshes(meshes, size, fresh, rasteriseOptionsOf(options))) return {Status::Cancelled, "cancelled"};
  grid = std::move(fresh);
  return {};
}

}  // namespace

Result sampleMeshes(std::span<const MeshArrays> meshes, std::int32_t size, SampleGrid& grid,
                    const SampleOptions& options) noexcept {
  if (size < kSmallestSize || size > kLargestSize) return invalid("size: outside 1 to 16384");
  return guarded([&]() -> Result {
    std::vector<SampledMesh> sampled(meshes.size());
    for (std::size_t m = 0; m < meshes.size(); ++m) {
      if (Result described = describe(meshes[m], m, sampled[m]); !described) {
        described.mesh = m;
        return described;
      }
    }
    return rasterise(sampled, size, grid, options);
  });
}

Result sampleMesh(const MeshArrays& mesh, std::int32_t size, SampleGrid& grid, const SampleOptions& options) noexcept {
  return sampleMeshes(std::span<const MeshArrays>(&mesh, 1), size, grid, options);
}

Result sampleFirstGroup(const MeshFile& file, std::int32_t size, SampleGrid& grid, const SampleOptions& options) noexcept {
  if (size < kSmallestSize || size > kLargestSize) return invalid("size: outside 1 to 16384");
  return guarded([&]() -> Result {
    std::vector<SampledMesh> sampled;
    const MeshFile::Data* data = MeshFileAccess::data(file);
    if (data != nullptr && data->set.groupCount > 0) {
      for (const MeshRecord& mesh : data->set.groups.front().meshes) sampled.push_back(sampledMeshOf(mesh));
    }
    return rasterise(sampled, size, grid, options);
  });
}

}  // namespace lumivex
