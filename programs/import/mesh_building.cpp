#include "mesh_building.h"

#include <array>
#include <cmath>
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

namespace {

// A stored normal is taken as meant when its length is within a factor of
// two of 1: quantised or carelessly scaled normals stay well within that (the
// sampler scales the blend to unit length anyway), while a zero normal, or
// one of a length no exporter means, would give samples no direction.
bool usableNormal(const Vector3& n) {
  const double squared = double{n.x} * n.x + double{n.y} * n.y + double{n.z} * n.z;
  return std::isfinite(squared) && squared >= 0.25 && squared <= 4.0;
}

struct PositionKey {
  float x, y, z;
  bool operator==(const PositionKey& other) const { return std::memcmp(this, &other, sizeof other) == 0; }
};
struct PositionKeyHash {
  std::size_t operator()(const PositionKey& key) const {
    std::uint32_t words[3];
    std::memcpy(words, &key, sizeof words);
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::uint32_t word : words) hash = (hash ^ word) * 0x100000001b3ull;
    return static_cast<std::size_t>(hash ^ (hash >> 29));
  }
};

}  // namespace

std::size_t repairNormals(ImportedMesh& mesh) {
  std::size_t unusable = 0;
  for (const Vertex& vertex : mesh.vertices) unusable += usableNormal(vertex.normal) ? 0 : 1;
  if (unusable == 0) return 0;
  // Face normals (their length twice the area) summed per position.
  std::unordered_map<PositionKey, std::array<double, 3>, PositionKeyHash> sums;
  const auto key = [&](std::uint32_t v) {
    const Vector3& p = mesh.vertices[v].position;
    return PositionKey{p.x, p.y, p.z};
  };
  for (std::size_t t = 0; t + 2 < mesh.triangles.size(); t += 3) {
    const Vector3& a = mesh.vertices[mesh.triangles[t]].position;
    const Vector3& b = mesh.vertices[mesh.triangles[t + 1]].position;
    const Vector3& c = mesh.vertices[mesh.triangles[t + 2]].position;
    const double ux = double{b.x} - a.x, uy = double{b.y} - a.y, uz = double{b.z} - a.z;
    const double vx = double{c.x} - a.x, vy = double{c.y} - a.y, vz = double{c.z} - a.z;
    const std::array<double, 3> face = {uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
    if (!std::isfinite(face[0]) || !std::isfinite(face[1]) || !std::isfinite(face[2])) continue;
    for (std::size_t k = 0; k < 3; ++k) {
      std::array<double, 3>& sum = sums[key(mesh.triangles[t + k])];
      for (std::size_t i = 0; i < 3; ++i) sum[i] += face[i];
    }
  }
  for (std::uint32_t v = 0; v < mesh.vertices.size(); ++v) {
    Vertex& vertex = mesh.vertices[v];
    if (usableNormal(vertex.normal)) continue;
    const auto found = sums.find(key(v));
    const std::array<double, 3> sum = found != sums.end() ? found->second : std::array<double, 3>{};
    const double length = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
    // A position whose faces have no area between them keeps no direction.
    vertex.normal = length > 0 && std::isfinite(length)
                        ? Vector3{static_cast<float>(sum[0] / length), static_cast<float>(sum[1] / length),
                                  static_cast<float>(sum[2] / length)}
                        : Vector3{0, 0, 0};
  }
  return unusable;
}

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

}  // namespace lumivex
