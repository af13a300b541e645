// The caller's arrays checked against each other and described for the
// sampler and the layout code.

#include "sampling/mesh_arrays.h"

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

// Floats that read as zero for an attribute the caller left out.
constexpr std::uint8_t kZeroAttribute[12] = {};

// One attribute array of `components` floats per vertex, `stride` bytes
// apart (0: packed). The span runs from the first vertex's attribute to at
// least the end of the last one's, so the count of vertices is the number
// of whole attributes it holds at that stride.
struct AttributeCheck {
  const char* notWhole;   // "positions: length is not a multiple of 3", ...
  const char* badStride;  // stride not a multiple of 4, or below the attribute
  const char* mismatch;   // a count that differs from that of positions
};

Result describeAttribute(std::span<const float> values, std::size_t stride, std::size_t components,
                         const AttributeCheck& check, std::size_t position, AttributeArray& array,
                         std::size_t& count) {
  const std::size_t bytes = 4 * components;
  if (stride == 0) {
    if (values.size() % components != 0) return invalid(check.notWhole, position);
    stride = bytes;
  } else if (stride % 4 != 0 || stride < bytes) {
    return invalid(check.badStride, position);
  }
  count = values.size() * 4 < bytes ? 0 : (values.size() * 4 - bytes) / stride + 1;
  array = {reinterpret_cast<const std::uint8_t*>(values.data()), stride, bytes};
  return {};
}

// Checks one mesh and describes it for the sampler and the layout code.
Result describeOne(const MeshArrays& mesh, std::size_t position, const MeshNeeds& needs, SampledMesh& sampled) {
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
    sampled = {};
    if (const Result r = describeAttribute(mesh.positions, mesh.positionStride, 3,
                                           {"positions: length is not a multiple of 3",
                                            "positionStride: not a multiple of 4 of at least 12", ""},
                                           position, sampled.positions, vertexCount);
        !r) {
      return r;
    }
    const auto optional = [&](std::span<const float> values, std::size_t stride, std::size_t components,
                              bool needed, const AttributeCheck& check, AttributeArray& array) -> Result {
      if (values.empty() && !needed) {
        array = {kZeroAttribute, 0, sizeof kZeroAttribute};  // zeros for every vertex
        return {};
      }
      std::size_t count = 0;
      if (const Result r = describeAttribute(values, stride, components, check, position, array, count); !r) return r;
      return count == vertexCount ? Result{} : invalid(check.mismatch, position);
    };
    if (const Result r = optional(mesh.normals, mesh.normalStride, 3, needs.normals,
                                  {"normals: length differs from that of positions",
                                   "normalStride: not a multiple of 4 of at least 12",
                                   "normals: length differs from that of positions"},
                                  sampled.normals);
        !r) {
      return r;
    }
    if (const Result r = optional(mesh.lightmapUvs, mesh.lightmapUvStride, 2, needs.lightmapUvs,
                                  {"lightmapUvs: length is not 2 per vertex of positions",
                                   "lightmapUvStride: not a multiple of 4 of at least 8",
                                   "lightmapUvs: length is not 2 per vertex of positions"},
                                  sampled.lightmapUvs);
        !r) {
      return r;
    }
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

}  // namespace

Result describeMeshes(std::span<const MeshArrays> meshes, std::vector<SampledMesh>& described, const MeshNeeds& needs) {
  described.assign(meshes.size(), SampledMesh{});
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    if (Result result = describeOne(meshes[m], m, needs, described[m]); !result) {
      result.mesh = m;
      return result;
    }
  }
  return {};
}

}  // namespace lumivex
