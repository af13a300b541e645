// The public face of the sampler: checks the caller's arrays and options,
// then rasterises.

#include <limits>
#include <vector>

#include "api/guarded.h"
#include "mesh/mesh_file_access.h"
#include "output/sample_grid.h"
#include "sampling/mesh_arrays.h"
#include "sampling/rasteriser.h"
#include "sampling/sampling_setup.h"

namespace lumivex {

Result checkSampling(GridSize size, const SampleOptions& options) {
  if (!isValidGridSize(size)) return {Status::InvalidArgument, "size: outside 1 to 16384"};
  if (options.samplePoint != SamplePoint::Corner && options.samplePoint != SamplePoint::Centre) {
    return {Status::InvalidArgument, "samplePoint: neither Corner nor Centre"};
  }
  return {};
}

SampleGrid freshGridFor(GridSize size, const SampleOptions& options) {
  return makeSampleGrid(size, GridChannels{options.ids, options.barycentrics});
}

namespace {

Result rasterise(std::span<const SampledMesh> meshes, GridSize size, SampleGrid& grid, const SampleOptions& options) {
  if (options.ids) {
    // Ids are 32-bit, with one value kept for "no triangle".
    if (meshes.size() >= kNoTriangle) return {Status::InvalidArgument, "ids: more meshes than 32-bit ids can name"};
    for (std::size_t m = 0; m < meshes.size(); ++m) {
      if (meshes[m].triangleCount > kNoTriangle) {
        return {Status::InvalidArgument, "ids: more triangles than 32-bit ids can name", m, m};
      }
    }
  }
  SampleGrid fresh = freshGridFor(size, options);
  if (!rasteriseMeshes(meshes, GridShape(size, options.samplePoint), fresh, rasteriseOptionsOf(options))) {
    return {Status::Cancelled, "cancelled"};
  }
  grid = std::move(fresh);
  return {};
}

}  // namespace

Result sampleMeshes(std::span<const MeshArrays> meshes, GridSize size, SampleGrid& grid,
                    const SampleOptions& options) noexcept {
  if (const Result checked = checkSampling(size, options); !checked) return checked;
  return guarded([&]() -> Result {
    std::vector<SampledMesh> sampled;
    if (const Result described = describeMeshes(meshes, sampled); !described) return described;
    return rasterise(sampled, size, grid, options);
  });
}

Result sampleMeshes(std::span<const MeshArrays> meshes, std::int32_t size, SampleGrid& grid,
                    const SampleOptions& options) noexcept {
  return sampleMeshes(meshes, GridSize{size, size}, grid, options);
}

Result sampleMesh(const MeshArrays& mesh, GridSize size, SampleGrid& grid, const SampleOptions& options) noexcept {
  return sampleMeshes(std::span<const MeshArrays>(&mesh, 1), size, grid, options);
}

Result sampleMesh(const MeshArrays& mesh, std::int32_t size, SampleGrid& grid, const SampleOptions& options) noexcept {
  return sampleMeshes(std::span<const MeshArrays>(&mesh, 1), GridSize{size, size}, grid, options);
}

Result sampleFirstGroup(const MeshFile& file, GridSize size, SampleGrid& grid, const SampleOptions& options) noexcept {
  if (const Result checked = checkSampling(size, options); !checked) return checked;
  return guarded([&]() -> Result {
    std::vector<SampledMesh> sampled;
    const MeshFile::Data* data = MeshFileAccess::data(file);
    if (data != nullptr && data->set.groupCount > 0) {
      for (const MeshRecord& mesh : data->set.groups.front().meshes) sampled.push_back(sampledMeshOf(mesh));
    }
    return rasterise(sampled, size, grid, options);
  });
}

Result sampleFirstGroup(const MeshFile& file, std::int32_t size, SampleGrid& grid, const SampleOptions& options) noexcept {
  return sampleFirstGroup(file, GridSize{size, size}, grid, options);
}

}  // namespace lumivex
