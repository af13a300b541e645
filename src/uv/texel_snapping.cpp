#include "uv/texel_snapping.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "layout/texel_corners.h"

namespace lumivex::uv {

namespace {

// A grid of buckets over the square holding the faces whose box (widened by
// one texel: a vertex moves less than that) meets each bucket.
class FaceBuckets {
 public:
  FaceBuckets(std::int32_t size) : cell_(std::max(4, size / 256)), side_((size + cell_ - 1) / cell_ + 1) {
    buckets_.resize(static_cast<std::size_t>(side_) * side_);
  }
  template <typename Visit>
  void forEachIn(const Triangle2& t, Visit&& visit) const {
    const auto [x0, y0, x1, y1] = range(t);
    for (std::int32_t y = y0; y <= y1; ++y) {
      for (std::int32_t x = x0; x <= x1; ++x) {
        for (std::uint32_t f : buckets_[static_cast<std::size_t>(y) * side_ + x]) visit(f);
      }
    }
  }
  void add(const Triangle2& t, std::uint32_t face) {
    const auto [x0, y0, x1, y1] = range(t);
    for (std::int32_t y = y0; y <= y1; ++y) {
      for (std::int32_t x = x0; x <= x1; ++x) buckets_[static_cast<std::size_t>(y) * side_ + x].push_back(face);
    }
  }

 private:
  std::array<std::int32_t, 4> range(const Triangle2& t) const {
    auto bucket = [&](double v) { return std::clamp(static_cast<std::int32_t>(std::floor(v / cell_)), 0, side_ - 1); };
    return {bucket(std::min({t[0].x, t[1].x, t[2].x}) - 1), bucket(std::min({t[0].y, t[1].y, t[2].y}) - 1),
            bucket(std::max({t[0].x, t[1].x, t[2].x}) + 1), bucket(std::max({t[0].y, t[1].y, t[2].y}) + 1)};
  }
  std::int32_t cell_, side_;
  std::vector<std::vector<std::uint32_t>> buckets_;
};

// True when every cell the triangle touches is one of its chart's.
bool withinChartCells(const Triangle2& t, const Footprint& footprint, Placement at) {
  Triangle2 local = t;
  for (Vec2& p : local) p = {p.x - at.x, p.y - at.y};
  for (const Vec2& p : local) {
    if (p.x < 0 || p.y < 0 || p.x >= footprint.width || p.y >= footprint.height) return false;
  }
  const Footprint mine = footprintOf({local});
  for (std::int32_t row = 0; row < mine.height; ++row) {
    const Span span = mine.rows[static_cast<std::size_t>(row)];
    if (span.first > span.last) continue;
    const Span allowed = footprint.rows[static_cast<std::size_t>(row)];
    if (span.first < allowed.first || span.last > allowed.last) return false;
  }
  return true;
}

}  // namespace

std::size_t snapToTexelCorners(const Faces& faces, const Charts& charts, std::int32_t size, const ChartCells& cells,
                               std::vector<std::array<LightmapPoint, 3>>& points) {
  // Chart vertices: one per chart and position.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keys;  // (chart, position) -> face corner
  for (std::uint32_t f = 0; f < faces.corners.size(); ++f) {
    if (charts.chartOf[f] < 0) continue;
    for (std::uint32_t k = 0; k < 3; ++k) {
      keys.push_back({std::uint64_t(std::uint32_t(charts.chartOf[f])) << 32 | faces.corners[f][k], 3 * f + k});
    }
  }
  std::sort(keys.begin(), keys.end());
  std::vector<std::uint32_t> vertexOf(3 * faces.corners.size(), UINT32_MAX);
  std::vector<std::uint32_t> fanStart = {0};
  std::vector<std::uint32_t> fan;  // face corners around each vertex
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i > 0 && keys[i].first != keys[i - 1].first) fanStart.push_back(static_cast<std::uint32_t>(fan.size()));
    vertexOf[keys[i].second] = static_cast<std::uint32_t>(fanStart.size() - 1);
    fan.push_back(keys[i].second);
  }
  fanStart.push_back(static_cast<std::uint32_t>(fan.size()));
  const std::size_t vertexCount = fanStart.size() - 1;

  // Inner vertices: every edge around them is shared by exactly two faces of the chart.
  std::vector<std::uint64_t> edges;
  for (std::uint32_t f = 0; f < faces.corners.size(); ++f) {
    if (charts.chartOf[f] < 0) continue;
    for (std::uint32_t k = 0; k < 3; ++k) {
      const std::uint32_t a = vertexOf[3 * f + k], b = vertexOf[3 * f + (k + 1) % 3];
      edges.push_back(std::uint64_t(std::min(a, b)) << 32 | std::max(a, b));
    }
  }
  std::sort(edges.begin(), edges.end());
  std::vector<char> inner(vertexCount, 1);
  for (std::size_t i = 0; i < edges.size();) {
    std::size_t end = i;
    while (end < edges.size() && edges[end] == edges[i]) ++end;
    if (end - i != 2) inner[edges[i] >> 32] = inner[edges[i] & 0xffffffffu] = 0;
    i = end;
  }

  std::vector<char> sampled(faces.corners.size(), 0);
  std::vector<std::uint32_t> unsampled;
  for (std::uint32_t f = 0; f < faces.corners.size(); ++f) {
    if (charts.chartOf[f] < 0) continue;
    sampled[f] = coversTexelCorner(points[f], size) ? 1 : 0;
    if (sampled[f] == 0) unsampled.push_back(f);
  }
  std::sort(unsampled.begin(), unsampled.end(), [&](std::uint32_t a, std::uint32_t b) {
    return faces.areas[a] != faces.areas[b] ? faces.areas[a] > faces.areas[b] : a < b;
  });

  const float s = static_cast<float>(size);
  auto texelTriangle = [&](std::uint32_t f) {
    Triangle2 t{};
    for (std::size_t k = 0; k < 3; ++k) t[k] = {double{s * points[f][k].u}, double{s * points[f][k].v}};
    return t;
  };
  FaceBuckets buckets(size);
  for (std::uint32_t f = 0; f < faces.corners.size(); ++f) {
    if (charts.chartOf[f] >= 0) buckets.add(texelTriangle(f), f);
  }
  // A vertex on the chart's outline may move only where its faces stay in
  // the chart's cells and overlap no other face.
  auto outlineStaysSound = [&](std::uint32_t vertex) {
    for (std::uint32_t i = fanStart[vertex]; i < fanStart[vertex + 1]; ++i) {
      const std::uint32_t f = fan[i] / 3;
      const Triangle2 t = texelTriangle(f);
      const auto chart = static_cast<std::size_t>(charts.chartOf[f]);
      if (!withinChartCells(t, cells.footprints[chart], cells.placements[chart])) return false;
      bool clear = true;
      buckets.forEachIn(t, [&](std::uint32_t g) {
        if (clear && g != f && interiorsOverlap(t, texelTriangle(g), 1e-7)) clear = false;
      });
      if (!clear) return false;
    }
    return true;
  };
  std::vector<char> movedAlready(vertexCount, 0);
  std::size_t moved = 0;
  for (const std::uint32_t face : unsampled) {
    for (std::uint32_t k = 0; k < 3 && sampled[face] == 0; ++k) {
      const std::uint32_t vertex = vertexOf[3 * face + k];
      if (movedAlready[vertex] != 0) continue;
      const LightmapPoint from = points[face][k];
      const double x = double{s * from.u}, y = double{s * from.v};
      // The corners of the texel the vertex lies in, nearest first; the two
      // nearest are worth trying (farther moves rarely keep the faces sound).
      std::array<std::pair<double, std::array<double, 2>>, 4> corners{};
      for (int c = 0; c < 4; ++c) {
        const double cx = std::floor(x) + (c & 1), cy = std::floor(y) + (c >> 1);
        corners[static_cast<std::size_t>(c)] = {(cx - x) * (cx - x) + (cy - y) * (cy - y), {cx, cy}};
      }
      std::sort(corners.begin(), corners.end());
      for (std::size_t tried = 0; tried < 2; ++tried) {
        const std::array<double, 2>& corner = corners[tried].second;
        if (corner[0] < 0 || corner[1] < 0 || corner[0] > size - 1 || corner[1] > size - 1) continue;
        const LightmapPoint to = {lightmapCoordinate(corner[0], size), lightmapCoordinate(corner[1], size)};
        if (double{s * to.u} != corner[0] || double{s * to.v} != corner[1]) continue;
        double before = 0, after = 0;
        bool sound = true;
        for (std::uint32_t i = fanStart[vertex]; i < fanStart[vertex + 1]; ++i) {
          const std::uint32_t g = fan[i] / 3;
          before += sampled[g] != 0 ? faces.areas[g] : 0.0;
          points[g][fan[i] % 3] = to;
        }
        for (std::uint32_t i = fanStart[vertex]; i < fanStart[vertex + 1] && sound; ++i) {
          const std::array<LightmapPoint, 3>& corners3 = points[fan[i] / 3];
          sound = exactTurn(texelCorners(corners3, size)) > 0;
          if (sound && coversTexelCorner(corners3, size)) after += faces.areas[fan[i] / 3];
        }
        if (sound && after > before && inner[vertex] == 0) sound = outlineStaysSound(vertex);
        if (sound && after > before) {
          movedAlready[vertex] = 1;
          for (std::uint32_t i = fanStart[vertex]; i < fanStart[vertex + 1]; ++i) {
            sampled[fan[i] / 3] = coversTexelCorner(points[fan[i] / 3], size) ? 1 : 0;
          }
          ++moved;
          break;
        }
        for (std::uint32_t i = fanStart[vertex]; i < fanStart[vertex + 1]; ++i) points[fan[i] / 3][fan[i] % 3] = from;
      }
    }
  }
  return moved;
}

}  // namespace lumivex::uv
