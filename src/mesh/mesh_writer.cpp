#include "mesh/mesh_writer.h"

#include <lumivex/layout.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "math/little_endian.h"
#include "mesh/mesh_set.h"
#include "api/guarded.h"
#include "sampling/mesh_arrays.h"

namespace lumivex {

namespace {

// Fills a block sized in advance, front to back.
class BlockWriter {
 public:
  explicit BlockWriter(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  void int32(std::int32_t value) {
    little_endian::storeU32(next(4), static_cast<std::uint32_t>(value));
  }
  void float32(float value) { little_endian::storeFloat(next(4), value); }
  void uint16(std::uint16_t value) { little_endian::storeU16(next(2), value); }
  void raw(const void* data, std::size_t count) {
    if (count > 0) std::memcpy(next(count), data, count);
  }
  void zeros(std::size_t count) { std::memset(next(count), 0, count); }
  std::size_t written() const { return at_; }

 private:
  std::uint8_t* next(std::size_t count) {
    std::uint8_t* place = bytes_.data() + at_;
    at_ += count;
    return place;
  }
  std::vector<std::uint8_t>& bytes_;
  std::size_t at_ = 0;
};

constexpr std::size_t kMaxNameLength = 1023;

// Vertex k as written: the caller's record, or one made from the arrays.
Vertex recordOf(const NamedMesh& named, const SampledMesh& mesh, std::size_t k) {
  if (!named.arrays.vertices.empty()) return named.arrays.vertices[k];
  Vertex vertex{};
  vertex.position = positionOf(mesh, k);
  vertex.normal = vectorAt(mesh.normals, k, mesh.fileByteOrder);
  if (!named.uvs.empty()) {
    vertex.uv[0] = named.uvs[2 * k];
    vertex.uv[1] = named.uvs[2 * k + 1];
  }
  const LightmapPoint lightmap = lightmapPointOf(mesh, k);
  vertex.lightmapU = lightmap.u;
  vertex.lightmapV = lightmap.v;
  return vertex;
}

// The parts of one mesh: NAME, NAME.1, NAME.2, ... each with at most
// kMaxVerticesPerMesh vertices, the triangles in order, so that the samples
// are those of the whole mesh.
void appendMeshParts(const NamedMesh& named, const SampledMesh& mesh, std::vector<MeshToWrite>& out) {
  // Where each vertex sits in the current part, or -1.
  std::vector<std::int32_t> slotOf(mesh.vertexCount, -1);
  std::vector<std::size_t> slotsInUse;
  const std::string baseName(named.name);
  std::size_t current = 0;
  int part = 0;
  for (std::size_t t = 0; t < mesh.triangleCount; ++t) {
    const std::array<std::size_t, 3> corners = {indexAt(mesh, 3 * t), indexAt(mesh, 3 * t + 1), indexAt(mesh, 3 * t + 2)};
    std::size_t newVertices = 0;
    for (int k = 0; k < 3; ++k) {
      // A vertex named twice by the triangle is new only once.
      bool seenBefore = slotOf[corners[k]] >= 0;
      for (int j = 0; j < k; ++j) seenBefore = seenBefore || corners[j] == corners[k];
      newVertices += seenBefore ? 0 : 1;
    }
    if (part == 0 || out[current].vertices.size() + newVertices > kMaxVerticesPerMesh) {
      for (std::size_t used : slotsInUse) slotOf[used] = -1;
      slotsInUse.clear();
      out.push_back({part == 0 ? baseName : baseName + "." + std::to_string(part), {}, {}});
      current = out.size() - 1;
      ++part;
    }
    MeshToWrite& written = out[current];
    for (int k = 0; k < 3; ++k) {
      const std::size_t index = corners[k];
      if (slotOf[index] < 0) {
        slotOf[index] = static_cast<std::int32_t>(written.vertices.size());
        slotsInUse.push_back(index);
        written.vertices.push_back(recordOf(named, mesh, index));
      }
      written.indices.push_back(static_cast<std::uint16_t>(slotOf[index]));
    }
  }
}

}  // namespace

std::vector<std::uint8_t> encodeMeshFile(const std::vector<std::vector<MeshToWrite>>& groups) {
  constexpr std::int32_t kVersion = 10;
  constexpr std::size_t kHeaderBlockLength = 29;
  std::size_t total = 4 + kHeaderBlockLength + 4 + 4;
  for (const std::vector<MeshToWrite>& meshes : groups) {
    total += 4;
    for (const MeshToWrite& mesh : meshes) {
      total += 40 + std::min(mesh.name.size(), kMaxNameLength) + sizeof(Vertex) * mesh.vertices.size() +
               2 * mesh.indices.size();
    }
  }
  std::vector<std::uint8_t> bytes(total);
  BlockWriter out(bytes);
  out.int32(kVersion);
  out.zeros(kHeaderBlockLength);
  out.int32(0);  // no opaque blocks
  out.int32(static_cast<std::int32_t>(groups.size()));
  for (const std::vector<MeshToWrite>& meshes : groups) {
    out.int32(static_cast<std::int32_t>(meshes.size()));
    for (const MeshToWrite& mesh : meshes) {
      const std::size_t nameLength = std::min(mesh.name.size(), kMaxNameLength);
      out.int32(static_cast<std::int32_t>(nameLength));
      out.raw(mesh.name.data(), nameLength);
      out.zeros(16);
      out.int32(kFormatCodeVertexSized);
      out.int32(sizeof(Vertex));
      out.int32(static_cast<std::int32_t>(mesh.vertices.size()));
      out.int32(static_cast<std::int32_t>(mesh.indices.size()));
      out.zeros(4);
    }
    for (const MeshToWrite& mesh : meshes) {
      for (const Vertex& v : mesh.vertices) {
        for (float value : {v.position.x, v.position.y, v.position.z, v.normal.x, v.normal.y, v.normal.z, v.uv[0],
                            v.uv[1], v.lightmapU, v.lightmapV}) {
          out.float32(value);
        }
      }
      for (std::uint16_t index : mesh.indices) out.uint16(index);
    }
  }
  return bytes;
}

namespace {

// The parts of every mesh of one group; InvalidArgument for arrays that do
// not fit, naming the mesh.
Result partsOf(std::span<const NamedMesh> meshes, std::vector<MeshToWrite>& parts) {
  std::vector<MeshArrays> arrays;
  for (const NamedMesh& mesh : meshes) arrays.push_back(mesh.arrays);
  std::vector<SampledMesh> described;
  if (const Result result = describeMeshes(arrays, described); !result) return result;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    if (!meshes[m].uvs.empty() && meshes[m].uvs.size() != 2 * described[m].vertexCount) {
      Result wrong{Status::InvalidArgument, "uvs: length is not 2 per vertex", m};
      wrong.mesh = m;
      return wrong;
    }
  }
  for (std::size_t m = 0; m < meshes.size(); ++m) appendMeshParts(meshes[m], described[m], parts);
  return {};
}

}  // namespace

Result writeMeshFile(const char* path, std::span<const std::vector<NamedMesh>> groups) noexcept {
  if (isNullPath(path)) return nullPath();
  return guarded([&]() -> Result {
    std::vector<std::vector<MeshToWrite>> parts(groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
      if (const Result result = partsOf(groups[g], parts[g]); !result) return result;
    }
    const std::vector<std::uint8_t> bytes = encodeMeshFile(parts);
    return writeWholeFile(path, bytes);
  });
}

Result writeMeshFile(const char* path, std::span<const NamedMesh> meshes) noexcept {
  return guarded([&]() -> Result {
    const std::vector<NamedMesh> group(meshes.begin(), meshes.end());
    return writeMeshFile(path, std::span<const std::vector<NamedMesh>>(&group, 1));
  });
}

}  // namespace lumivex
