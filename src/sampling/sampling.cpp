// The public face of the sampler: checks the caller's arrays, then rasterises.

#include <limits>
#include <vector>

#include "api/guarded.h"
#include "mesh/mesh_file_access.h"
#include "output/sample_grid.h"
#include "sampling/mesh_arrays.h"
#include "sampling/rasteriser.h"

namespace lumivex {

namespace {

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
  if (size < kSmallestSize || size > kLargestSize) return {Status::InvalidArgument, "size: outside 1 to 16384"};
  return guarded([&]() -> Result {
    std::vector<SampledMesh> sampled;
    if (const Result described = describeMeshes(meshes, sampled); !described) return described;
    return rasterise(sampled, size, grid, options);
  });
}

Result sampleMesh(const MeshArrays& mesh, std::int32_t size, SampleGrid& grid, const SampleOptions& options) noexcept {
  return sampleMeshes(std::span<const MeshArrays>(&mesh, 1), size, grid, options);
}

Result sampleFirstGroup(const MeshFile& file, std::int32_t size, SampleGrid& grid, const SampleOptions& options) noexcept {
  if (size < kSmallestSize || size > kLargestSize) return {Status::InvalidArgument, "size: outside 1 to 16384"};
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
