#include "uv/charts.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace lumivex::uv {

bool interiorsOverlap(const Triangle2& a, const Triangle2& b, double tolerance) {
  // Apart along x or y: the common case, decided cheaply.
  const double scale = tolerance * (1.0 + std::fabs(a[0].x) + std::fabs(a[0].y));
  if (std::max({a[0].x, a[1].x, a[2].x}) <= std::min({b[0].x, b[1].x, b[2].x}) + scale ||
      std::max({b[0].x, b[1].x, b[2].x}) <= std::min({a[0].x, a[1].x, a[2].x}) + scale ||
      std::max({a[0].y, a[1].y, a[2].y}) <= std::min({b[0].y, b[1].y, b[2].y}) + scale ||
      std::max({b[0].y, b[1].y, b[2].y}) <= std::min({a[0].y, a[1].y, a[2].y}) + scale) {
    return false;
  }
  for (const Triangle2* t : {&a, &b}) {
    for (int k = 0; k < 3; ++k) {
      const Vec2 p = (*t)[static_cast<std::size_t>(k)], q = (*t)[static_cast<std::size_t>((k + 1) % 3)];
      const Vec2 axis = {q.y - p.y, p.x - q.x};  // outward for a counter-clockwise triangle
      const double scale = std::sqrt(axis.x * axis.x + axis.y * axis.y);
      const double edge = axis.x * p.x + axis.y * p.y;
      const Triangle2& other = t == &a ? b : a;
      double nearest = INFINITY;
      for (const Vec2& v : other) nearest = std::min(nearest, axis.x * v.x + axis.y * v.y);
      if (nearest >= edge - tolerance * scale) return false;
    }
  }
  return true;
}

namespace {

// The faces of one chart as they are being laid flat, in a grid of cells so
// that a new face is tested only against its neighbours in the plane.
class FlatChart {
 public:
  FlatChart(double cellSize) : cellSize_(cellSize) {}
  bool overlaps(const Triangle2& triangle) const {
    const Box box = boxOf(triangle);
    const double tolerance = 1e-9 * cellSize_;
    for (std::uint32_t index : large_) {
      if (interiorsOverlap(triangles_[index], triangle, tolerance)) return true;
    }
    if (box.cells() > kMaxCells) {
      for (const Triangle2& placed : triangles_) {
        if (interiorsOverlap(placed, triangle, tolerance)) return true;
      }
      return false;
    }
    for (std::int64_t y = box.y0; y <= box.y1; ++y) {
      for (std::int64_t x = box.x0; x <= box.x1; ++x) {
        const auto cell = cells_.find(key(x, y));
        if (cell == cells_.end()) continue;
        for (std::uint32_t index : cell->second) {
          if (interiorsOverlap(triangles_[index], triangle, tolerance)) return true;
        }
      }
    }
    return false;
  }
  void add(const Triangle2& triangle) {
    const auto index = static_cast<std::uint32_t>(triangles_.size());
    triangles_.push_back(triangle);
    const Box box = boxOf(triangle);
    if (box.cells() > kMaxCells) {
      large_.push_back(index);
      return;
    }
    for (std::int64_t y = box.y0; y <= box.y1; ++y) {
      for (std::int64_t x = box.x0; x <= box.x1; ++x) cells_[key(x, y)].push_back(index);
    }
  }

 private:
  static constexpr std::int64_t kMaxCells = 64;
  struct Box {
    std::int64_t x0, y0, x1, y1;
    std::int64_t cells() const { return (x1 - x0 + 1) * (y1 - y0 + 1); }
  };
  Box boxOf(const Triangle2& t) const {
    auto cell = [&](double v) {
      return static_cast<std::int64_t>(std::floor(std::clamp(v / cellSize_, -1e15, 1e15)));
    };
    return {cell(std::min({t[0].x, t[1].x, t[2].x})), cell(std::min({t[0].y, t[1].y, t[2].y})),
            cell(std::max({t[0].x, t[1].x, t[2].x})), cell(std::max({t[0].y, t[1].y, t[2].y}))};
  }
  static std::uint64_t key(std::int64_t x, std::int64_t y) {
    return static_cast<std::uint64_t>(x) * 0x9e3779b97f4a7c15ull ^ static_cast<std::uint64_t>(y);
  }
  double cellSize_;
  std::vector<Triangle2> triangles_;
  std::vector<std::uint32_t> large_;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> cells_;
};

// Two unit vectors spanning the plane at right angles to `n`.
void planeOf(Vec3 n, Vec3& tangent, Vec3& bitangent) {
  const Vec3 helper = std::fabs(n.x) < 0.6 ? Vec3{1, 0, 0} : std::fabs(n.y) < 0.6 ? Vec3{0, 1, 0} : Vec3{0, 0, 1};
  tangent = cross(helper, n);
  tangent = scaled(tangent, 1.0 / length(tangent));
  bitangent = cross(n, tangent);
}

// Lays the chart's faces (from `first` on) flat on the plane of their mean
// normal instead, when that shrinks the most tilted face less than the first
// face's plane does and every face stays turned the chart's way and clear of
// the others: the faces then keep more of their area.
void relayOnMeanPlane(const Faces& faces, Charts& charts, std::uint32_t first, Vec3 axis, Vec3 mean, double cellSize) {
  double worstOnAxis = 1, worstOnMean = 1;
  for (std::size_t i = first; i < charts.faces.size(); ++i) {
    const Vec3 n = faces.normals[charts.faces[i]];
    worstOnAxis = std::min(worstOnAxis, dot(n, axis));
    worstOnMean = std::min(worstOnMean, dot(n, mean));
  }
  if (!(worstOnMean > worstOnAxis + 0.02)) return;
  Vec3 tangent{}, bitangent{};
  planeOf(mean, tangent, bitangent);
  const Vec3 origin = faces.positions[faces.corners[charts.faces[first]][0]];
  FlatChart flat(cellSize);
  std::vector<Triangle2> laid;
  laid.reserve(charts.faces.size() - first);
  for (std::size_t i = first; i < charts.faces.size(); ++i) {
    const std::uint32_t f = charts.faces[i];
    Triangle2 t{};
    for (std::size_t k = 0; k < 3; ++k) {
      const Vec3 p = faces.positions[faces.corners[f][k]] - origin;
      t[k] = {dot(p, tangent), dot(p, bitangent)};
    }
    if (!(cross2(t[0], t[1], t[2]) > 0.0) || flat.overlaps(t)) return;
    flat.add(t);
    laid.push_back(t);
  }
  for (std::size_t i = first; i < charts.faces.size(); ++i) charts.flat[charts.faces[i]] = laid[i - first];
}

}  // namespace

Charts growCharts(const Faces& faces, double maxChartAngle, const std::function<void(double)>& progress) {
  const std::size_t count = faces.corners.size();
  Charts charts;
  charts.chartOf.assign(count, -1);
  charts.flat.resize(count);
  charts.faceStart.push_back(0);
  std::vector<std::uint32_t> seeds;
  for (std::uint32_t f = 0; f < count; ++f) {
    if (faces.areas[f] > 0.0) seeds.push_back(f);
  }
  // Largest faces first: a chart grows from a face that matters.
  std::sort(seeds.begin(), seeds.end(), [&](std::uint32_t a, std::uint32_t b) {
    return faces.areas[a] != faces.areas[b] ? faces.areas[a] > faces.areas[b] : a < b;
  });
  const double minimumCosine = std::cos(maxChartAngle * 3.14159265358979323846 / 180.0);
  std::size_t assigned = 0;
  std::vector<std::uint32_t> queue;
  for (std::uint32_t seed : seeds) {
    if (charts.chartOf[seed] >= 0) continue;
    const auto chart = static_cast<std::int32_t>(charts.faceStart.size() - 1);
    const Vec3 axis = faces.normals[seed];
    Vec3 tangent{}, bitangent{};
    planeOf(axis, tangent, bitangent);
    const Vec3 origin = faces.positions[faces.corners[seed][0]];
    auto laidFlat = [&](std::uint32_t f) {
      Triangle2 t{};
      for (std::size_t k = 0; k < 3; ++k) {
        const Vec3 p = faces.positions[faces.corners[f][k]] - origin;
        t[k] = {dot(p, tangent), dot(p, bitangent)};
      }
      return t;
    };
    const Triangle2 seedFlat = laidFlat(seed);
    double longest = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      const Vec2 a = seedFlat[k], b = seedFlat[(k + 1) % 3];
      longest = std::max(longest, std::hypot(a.x - b.x, a.y - b.y));
    }
    FlatChart flat(longest);
    Vec3 normalSum{0, 0, 0};
    auto join = [&](std::uint32_t f, const Triangle2& t) {
      charts.chartOf[f] = chart;
      charts.flat[f] = t;
      charts.faces.push_back(f);
      flat.add(t);
      queue.push_back(f);
      const Vec3 n = faces.normals[f];
      normalSum = {normalSum.x + n.x * faces.areas[f], normalSum.y + n.y * faces.areas[f],
                   normalSum.z + n.z * faces.areas[f]};
    };
    queue.clear();
    join(seed, seedFlat);
    for (std::size_t next = 0; next < queue.size(); ++next) {
      const std::uint32_t f = queue[next];
      for (std::uint32_t i = faces.neighbourStart[f]; i < faces.neighbourStart[f + 1]; ++i) {
        const std::uint32_t g = faces.neighbours[i];
        if (charts.chartOf[g] >= 0 || faces.areas[g] <= 0.0 || dot(faces.normals[g], axis) < minimumCosine) continue;
        const Triangle2 t = laidFlat(g);
        // Turned the chart's way, and clear of its other faces.
        if (!(cross2(t[0], t[1], t[2]) > 0.0) || flat.overlaps(t)) continue;
        join(g, t);
      }
    }
    if (length(normalSum) > 0) {
      relayOnMeanPlane(faces, charts, charts.faceStart.back(), axis, scaled(normalSum, 1.0 / length(normalSum)), longest);
    }
    charts.faceStart.push_back(static_cast<std::uint32_t>(charts.faces.size()));
    assigned += queue.size();
    if (progress && charts.faceStart.size() % 256 == 0) progress(0.6 * static_cast<double>(assigned) / count);
  }
  return charts;
}

}  // namespace lumivex::uv
