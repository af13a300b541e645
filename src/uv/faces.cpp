#include "uv/faces.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <unordered_map>

namespace lumivex::uv {

namespace {

struct PositionKey {
  std::uint32_t bits[3];
  bool operator==(const PositionKey& other) const { return std::memcmp(bits, other.bits, sizeof bits) == 0; }
};
struct PositionKeyHash {
  std::size_t operator()(const PositionKey& key) const {
    std::uint64_t hash = 0x9e3779b97f4a7c15ull;
    for (std::uint32_t word : key.bits) hash = (hash ^ word) * 0xff51afd7ed558ccdull;
    return static_cast<std::size_t>(hash ^ (hash >> 32));
  }
};

}  // namespace

Faces collectFaces(std::span<const SampledMesh> meshes) {
  Faces faces;
  std::unordered_map<PositionKey, std::uint32_t, PositionKeyHash> numberOf;
  for (const SampledMesh& mesh : meshes) {
    for (std::size_t t = 0; t < mesh.triangleCount; ++t) {
      std::array<std::uint32_t, 3> corner{};
      for (int k = 0; k < 3; ++k) {
        const Vector3 p = positionOf(mesh, indexAt(mesh, 3 * t + static_cast<std::size_t>(k)));
        PositionKey key{};
        std::memcpy(key.bits, &p, sizeof key.bits);
        const auto [at, added] = numberOf.try_emplace(key, static_cast<std::uint32_t>(faces.positions.size()));
        if (added) faces.positions.push_back({p.x, p.y, p.z});
        corner[static_cast<std::size_t>(k)] = at->second;
      }
      faces.corners.push_back(corner);
    }
  }
  const std::size_t count = faces.corners.size();
  faces.normals.resize(count);
  faces.areas.resize(count);
  for (std::size_t f = 0; f < count; ++f) {
    const auto& c = faces.corners[f];
    const Vec3 a = faces.positions[c[0]], b = faces.positions[c[1]], d = faces.positions[c[2]];
    const Vec3 n = cross(b - a, d - a);
    const double twiceArea = length(n);
    const double longest = std::max({dot(b - a, b - a), dot(d - b, d - b), dot(a - d, a - d)});
    // A face too thin for its normal to mean anything joins no chart.
    const bool degenerate = !(twiceArea > 1e-12 * longest) || !std::isfinite(twiceArea);
    faces.areas[f] = degenerate ? 0.0 : 0.5 * twiceArea;
    faces.normals[f] = degenerate ? Vec3{0, 0, 0} : scaled(n, 1.0 / twiceArea);
  }

  // Faces sharing an edge (two positions), found by sorting the edges.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> edges;
  edges.reserve(3 * count);
  for (std::size_t f = 0; f < count; ++f) {
    for (int k = 0; k < 3; ++k) {
      const std::uint32_t p = faces.corners[f][static_cast<std::size_t>(k)];
      const std::uint32_t q = faces.corners[f][static_cast<std::size_t>((k + 1) % 3)];
      if (p == q) continue;
      edges.push_back({std::uint64_t{std::min(p, q)} << 32 | std::max(p, q), static_cast<std::uint32_t>(f)});
    }
  }
  std::sort(edges.begin(), edges.end());
  std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
  for (std::size_t i = 0; i < edges.size();) {
    std::size_t end = i;
    while (end < edges.size() && edges[end].first == edges[i].first) ++end;
    // An edge of many faces (a fan of fins) links each to the next only.
    const bool many = end - i > 4;
    for (std::size_t a = i; a < end; ++a) {
      for (std::size_t b = a + 1; b < end && (!many || b == a + 1); ++b) {
        if (edges[a].second == edges[b].second) continue;
        links.push_back({edges[a].second, edges[b].second});
        links.push_back({edges[b].second, edges[a].second});
      }
    }
    i = end;
  }
  std::sort(links.begin(), links.end());
  links.erase(std::unique(links.begin(), links.end()), links.end());
  faces.neighbourStart.assign(count + 1, 0);
  for (const auto& link : links) ++faces.neighbourStart[link.first + 1];
  std::partial_sum(faces.neighbourStart.begin(), faces.neighbourStart.end(), faces.neighbourStart.begin());
  faces.neighbours.resize(links.size());
  for (std::size_t i = 0; i < links.size(); ++i) faces.neighbours[i] = links[i].second;
  return faces;
}


}  // namespace lumivex::uv
