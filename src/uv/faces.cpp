#include "uv/faces.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "math/processor_count.h"

namespace lumivex::uv {

namespace {

// A vertex by its position's bits, which are compared whole.
struct VertexKey {
  std::uint32_t bits[3];
  std::uint32_t keyed;  // the vertex's place among those keyed
  bool samePosition(const VertexKey& other) const { return std::memcmp(bits, other.bits, sizeof bits) == 0; }
};

bool operator<(const VertexKey& a, const VertexKey& b) {
  for (std::size_t k = 0; k < 3; ++k) {
    if (a.bits[k] != b.bits[k]) return a.bits[k] < b.bits[k];
  }
  return a.keyed < b.keyed;
}

// Every corner's position numbered: corners at the same position (to the
// bit, -0 as +0) get the same number, numbers in the order of the positions' bits.
// Corners at one vertex share its position, so each vertex a face uses is
// keyed once (a sixth of the corners on a closed mesh).
void numberPositions(std::span<const SampledMesh> meshes, std::size_t threads, Faces& faces) {
  std::vector<std::size_t> firstFace(meshes.size() + 1, 0), firstVertex(meshes.size() + 1, 0);
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    firstFace[m + 1] = firstFace[m] + meshes[m].triangleCount;
    firstVertex[m + 1] = firstVertex[m] + meshes[m].vertexCount;
  }
  const std::size_t count = firstFace.back();
  // Per vertex of every mesh: UINT32_MAX when no face uses it, then its
  // position's number.
  std::vector<std::uint32_t> numberOf(firstVertex.back(), UINT32_MAX);
  forEachInParallel(meshes.size(), threads, [&](std::size_t m) {
    for (std::size_t entry = 0; entry < 3 * meshes[m].triangleCount; ++entry) {
      numberOf[firstVertex[m] + indexAt(meshes[m], entry)] = 0;
    }
  });
  std::vector<VertexKey> keys;
  std::vector<std::size_t> vertexOfKey;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    for (std::size_t v = 0; v < meshes[m].vertexCount; ++v) {
      if (numberOf[firstVertex[m] + v] == UINT32_MAX) continue;
      Vector3 p = positionOf(meshes[m], v);
      // -0 and +0 are one place: exporters write either for the same
      // corner, and a wall keyed by both would be torn along that edge.
      for (float* c : {&p.x, &p.y, &p.z}) *c = *c == 0.0f ? 0.0f : *c;
      VertexKey& key = keys.emplace_back();
      std::memcpy(key.bits, &p, sizeof key.bits);
      key.keyed = static_cast<std::uint32_t>(vertexOfKey.size());
      vertexOfKey.push_back(firstVertex[m] + v);
    }
  }
  sortInParallel(keys.begin(), keys.end(), threads, std::less<VertexKey>());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i == 0 || !keys[i].samePosition(keys[i - 1])) {
      Vector3 p;
      std::memcpy(&p, keys[i].bits, sizeof p);
      faces.positions.push_back({p.x, p.y, p.z});
    }
    numberOf[vertexOfKey[keys[i].keyed]] = static_cast<std::uint32_t>(faces.positions.size() - 1);
  }
  faces.corners.resize(count);
  forEachInParallel(meshes.size(), threads, [&](std::size_t m) {
    for (std::size_t t = 0; t < meshes[m].triangleCount; ++t) {
      for (std::size_t k = 0; k < 3; ++k) {
        faces.corners[firstFace[m] + t][k] = numberOf[firstVertex[m] + indexAt(meshes[m], 3 * t + k)];
      }
    }
  });
}

void measureFaces(std::size_t threads, Faces& faces) {
  const std::size_t count = faces.corners.size();
  faces.normals.resize(count);
  faces.areas.resize(count);
  forEachInParallel(count, threads, [&](std::size_t f) {
    const auto& c = faces.corners[f];
    const Vec3 a = faces.positions[c[0]], b = faces.positions[c[1]], d = faces.positions[c[2]];
    const Vec3 n = cross(b - a, d - a);
    const double twiceArea = length(n);
    const double longest = std::max({dot(b - a, b - a), dot(d - b, d - b), dot(a - d, a - d)});
    // A face too thin for its normal to mean anything joins no chart.
    const bool degenerate = !(twiceArea > 1e-12 * longest) || !std::isfinite(twiceArea);
    faces.areas[f] = degenerate ? 0.0 : 0.5 * twiceArea;
    faces.normals[f] = degenerate ? Vec3{0, 0, 0} : scaled(n, 1.0 / twiceArea);
  });
}

// Faces sharing an edge (two positions), found by sorting the edges.
void linkNeighbours(std::size_t threads, Faces& faces) {
  const std::size_t count = faces.corners.size();
  // Sorted by (lower position, higher position, face): counted into one
  // stretch per lower position (faces in order), each stretch then sorted.
  std::vector<std::uint32_t> stretch(faces.positions.size() + 1, 0);
  const auto forEachEdge = [&](auto&& visit) {
    for (std::uint32_t f = 0; f < count; ++f) {
      for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t p = faces.corners[f][k], q = faces.corners[f][(k + 1) % 3];
        if (p != q) visit(std::min(p, q), std::max(p, q), f);
      }
    }
  };
  forEachEdge([&](std::uint32_t low, std::uint32_t, std::uint32_t) { ++stretch[low + 1]; });
  std::partial_sum(stretch.begin(), stretch.end(), stretch.begin());
  std::vector<std::pair<std::uint64_t, std::uint32_t>> edges(stretch.back());
  std::vector<std::uint32_t> next(stretch.begin(), stretch.end() - 1);
  forEachEdge([&](std::uint32_t low, std::uint32_t high, std::uint32_t f) {
    edges[next[low]++] = {std::uint64_t{low} << 32 | high, f};
  });
  forEachInParallel(faces.positions.size(), threads, [&](std::size_t p) {
    std::sort(edges.begin() + stretch[p], edges.begin() + stretch[p + 1]);
  });
  // Each face's neighbours, first counted, then filled in.
  faces.onCrowdedEdge.assign(count, 0);
  std::vector<std::uint32_t> degree(count + 1, 0);
  const auto forEachLink = [&](auto&& link) {
    for (std::size_t i = 0; i < edges.size();) {
      std::size_t end = i;
      while (end < edges.size() && edges[end].first == edges[i].first) ++end;
      // An edge of many faces (a fan of fins) links each to the next only.
      const bool many = end - i > 4;
      // Faces of no area join no chart, so only the others crowd an edge.
      std::size_t withArea = 0;
      for (std::size_t a = i; a < end; ++a) {
        const bool repeated = a > i && edges[a].second == edges[a - 1].second;
        withArea += faces.areas[edges[a].second] > 0 && !repeated ? 1 : 0;
      }
      for (std::size_t a = i; a < end; ++a) {
        if (withArea > 2) faces.onCrowdedEdge[edges[a].second] = 1;
        for (std::size_t b = a + 1; b < end && (!many || b == a + 1); ++b) {
          if (edges[a].second != edges[b].second) link(edges[a].second, edges[b].second);
        }
      }
      i = end;
    }
  };
  forEachLink([&](std::uint32_t a, std::uint32_t b) { ++degree[a + 1], ++degree[b + 1]; });
  std::partial_sum(degree.begin(), degree.end(), degree.begin());
  faces.neighbours.resize(degree.back());
  std::vector<std::uint32_t> filled(degree.begin(), degree.end() - 1);
  forEachLink([&](std::uint32_t a, std::uint32_t b) {
    faces.neighbours[filled[a]++] = b;
    faces.neighbours[filled[b]++] = a;
  });
  // In face order, each face once (two faces may share two edges).
  faces.neighbourStart.assign(count + 1, 0);
  std::size_t kept = 0;
  for (std::size_t f = 0; f < count; ++f) {
    const auto first = faces.neighbours.begin() + degree[f], last = faces.neighbours.begin() + degree[f + 1];
    std::sort(first, last);
    const auto unique = std::unique(first, last);
    for (auto it = first; it != unique; ++it) faces.neighbours[kept++] = *it;
    faces.neighbourStart[f + 1] = static_cast<std::uint32_t>(kept);
  }
  faces.neighbours.resize(kept);
}

}  // namespace

Faces collectFaces(std::span<const SampledMesh> meshes, std::size_t threads) {
  Faces faces;
  numberPositions(meshes, threads, faces);
  measureFaces(threads, faces);
  linkNeighbours(threads, faces);
  return faces;
}

}  // namespace lumivex::uv
