#include "mesh_building.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>

namespace lumivex {

namespace {

// A vertex by its bytes: -0 and 0 differ, and a NaN equals a NaN of the same
// bits, so joined vertices give the sampler exactly the numbers it had.
struct VertexBytes {
  std::uint32_t words[sizeof(Vertex) / 4];
  bool operator==(const VertexBytes& other) const { return std::memcmp(words, other.words, sizeof words) == 0; }
};
static_assert(sizeof(Vertex) % 4 == 0);

struct VertexBytesHash {
  std::size_t operator()(const VertexBytes& vertex) const {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::uint32_t word : vertex.words) hash = (hash ^ word) * 0x100000001b3ull;
    return static_cast<std::size_t>(hash ^ (hash >> 29));
  }
};

VertexBytes bytesOf(const Vertex& vertex) {
  VertexBytes bytes;
  std::memcpy(bytes.words, &vertex, sizeof bytes.words);
  return bytes;
}

}  // namespace

std::string writtenName(const ImportedMesh& mesh) { return mesh.name.empty() ? "mesh" : mesh.name; }

void joinIdenticalVertices(ImportedMesh& mesh) {
  std::unordered_map<VertexBytes, std::uint32_t, VertexBytesHash> numberOf;
  numberOf.reserve(mesh.vertices.size());
  std::vector<std::uint32_t> joined(mesh.vertices.size());
  std::vector<Vertex> kept;
  for (std::size_t v = 0; v < mesh.vertices.size(); ++v) {
    const auto [at, added] = numberOf.try_emplace(bytesOf(mesh.vertices[v]), static_cast<std::uint32_t>(kept.size()));
    if (added) kept.push_back(mesh.vertices[v]);
    joined[v] = at->second;
  }
  for (std::uint32_t& index : mesh.triangles) index = joined[index];
  mesh.vertices = std::move(kept);
}

void appendMeshParts(const ImportedMesh& mesh, std::vector<MeshToWrite>& out) {
  // Where each vertex sits in the current part, or -1.
  std::vector<std::int32_t> slotOf(mesh.vertices.size(), -1);
  std::vector<std::uint32_t> slotsInUse;
  const std::string baseName = writtenName(mesh);
  std::size_t current = 0;
  int part = 0;
  for (std::size_t t = 0; t + 2 < mesh.triangles.size(); t += 3) {
    const std::uint32_t* corners = &mesh.triangles[t];
    std::size_t newVertices = 0;
    for (int k = 0; k < 3; ++k) {
      // A vertex named twice by the triangle is new only once.
      bool seenBefore = slotOf[corners[k]] >= 0;
      for (int j = 0; j < k; ++j) seenBefore = seenBefore || corners[j] == corners[k];
      newVertices += seenBefore ? 0 : 1;
    }
    if (part == 0 || out[current].vertices.size() + newVertices > kMaxVerticesPerMesh) {
      for (std::uint32_t used : slotsInUse) slotOf[used] = -1;
      slotsInUse.clear();
      out.push_back({part == 0 ? baseName : baseName + "." + std::to_string(part), {}, {}});
      current = out.size() - 1;
      ++part;
    }
    MeshToWrite& written = out[current];
    for (int k = 0; k < 3; ++k) {
      const std::uint32_t index = corners[k];
      if (slotOf[index] < 0) {
        slotOf[index] = static_cast<std::int32_t>(written.vertices.size());
        slotsInUse.push_back(index);
        written.vertices.push_back(mesh.vertices[index]);
      }
      written.indices.push_back(static_cast<std::uint16_t>(slotOf[index]));
    }
  }
}

}  // namespace lumivex
