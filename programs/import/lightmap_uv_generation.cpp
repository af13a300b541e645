#include "lightmap_uv_generation.h"

#include "layout_check.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <bit>
#include <climits>
#include <cstring>
#include <cstdio>
#include <map>
#include <numeric>
#include <unordered_map>

namespace lumivex {

namespace {

// Faces whose normal lies within this angle of the chart's first face join
// its chart: the projection then shortens no face by more than cos(angle).
constexpr double kChartConeDegrees = 60.0;

struct Vec3 {
  double x, y, z;
};
Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double length(Vec3 a) { return std::sqrt(dot(a, a)); }
Vec3 scaled(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }

struct Vec2 {
  double x, y;
};
double cross2(Vec2 o, Vec2 a, Vec2 b) { return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x); }

// ---- The model's faces, welded by position --------------------------------

struct Faces {
  std::vector<Vec3> positions;                    // one per distinct position
  std::vector<std::array<std::uint32_t, 3>> corners;  // position numbers per face
  std::vector<Vec3> normals;                      // unit, or zero for a degenerate face
  std::vector<double> areas;
  std::vector<std::uint32_t> neighbourStart;      // faces sharing an edge: CSR
  std::vector<std::uint32_t> neighbours;
};

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

Faces collectFaces(const std::vector<ImportedMesh*>& meshes) {
  Faces faces;
  std::unordered_map<PositionKey, std::uint32_t, PositionKeyHash> numberOf;
  for (const ImportedMesh* mesh : meshes) {
    for (std::size_t t = 0; t + 2 < mesh->triangles.size(); t += 3) {
      std::array<std::uint32_t, 3> corner{};
      for (int k = 0; k < 3; ++k) {
        const Vector3& p = mesh->vertices[mesh->triangles[t + static_cast<std::size_t>(k)]].position;
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

// ---- Charts ---------------------------------------------------------------

using Triangle2 = std::array<Vec2, 3>;

// True when the interiors of two triangles (counter-clockwise) overlap by
// more than `tolerance`: no edge of either separates them.
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

struct Charts {
  std::vector<std::int32_t> chartOf;        // per face; -1 for a degenerate face
  std::vector<std::uint32_t> faceStart;     // faces of each chart: CSR into faces
  std::vector<std::uint32_t> faces;
  std::vector<Triangle2> flat;              // per face: its corners laid flat in its chart
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

Charts growCharts(const Faces& faces, const std::function<void(double)>& progress) {
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
  const double minimumCosine = std::cos(kChartConeDegrees * 3.14159265358979323846 / 180.0);
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

// ---- Turning each chart to its smallest bounding rectangle ----------------

// Charts shorter than this are not tilted: their faces are short as well, and
// a tilt of two texels would take a large share of their room.
constexpr double kTiltFromTexels = 32.0;

struct ChartShape {
  double width = 0, height = 0;  // model units, after turning
  double cosine = 1, sine = 0;   // the turn
  double minX = 0, minY = 0;     // the corner of the rectangle, after turning
  bool swapped = false;          // turned a further quarter so that width >= height
};

std::vector<Vec2> convexHull(std::vector<Vec2> points) {
  std::sort(points.begin(), points.end(), [](Vec2 a, Vec2 b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
  if (points.size() < 3) return points;
  std::vector<Vec2> hull(2 * points.size());
  std::size_t k = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    while (k >= 2 && cross2(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
    hull[k++] = points[i];
  }
  for (std::size_t i = points.size() - 1, lower = k + 1; i > 0; --i) {
    while (k >= lower && cross2(hull[k - 2], hull[k - 1], points[i - 1]) <= 0) --k;
    hull[k++] = points[i - 1];
  }
  hull.resize(k - 1);
  return hull;
}

// Whether some face of the chart is under a texel across but several texels
// long: only such faces can miss every texel corner along a row.
bool hasLongThinFaces(const Charts& charts, std::size_t chart, double density) {
  for (std::uint32_t i = charts.faceStart[chart]; i < charts.faceStart[chart + 1]; ++i) {
    const Triangle2& t = charts.flat[charts.faces[i]];
    double longest = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      longest = std::max(longest, std::hypot(t[(k + 1) % 3].x - t[k].x, t[(k + 1) % 3].y - t[k].y));
    }
    const double across = longest > 0 ? std::abs(cross2(t[0], t[1], t[2])) / longest : 0;
    if (across * density < 1.0 && longest * density >= 8.0) return true;
  }
  return false;
}

// `squareOnly`: the turn whose rectangle has the shortest longer side, for a
// chart that fills the square alone; otherwise the rectangle of least area.
// With `tiltDensity` (texels per model unit, an estimate), a chart many texels
// long with long thin faces is then turned a little further, so that its length climbs two texels
// across the grid: faces thinner than a texel that run along the length
// (the sides of a finely divided tube) would, laid along a texel row, miss
// every texel corner together; climbing, each sweeps across the corners'
// offsets and holds about as many corners as texels of area. It costs about
// two texels of height.
ChartShape shapeOf(const Charts& charts, std::size_t chart, bool squareOnly = false, double tiltDensity = 0) {
  std::vector<Vec2> points;
  for (std::uint32_t i = charts.faceStart[chart]; i < charts.faceStart[chart + 1]; ++i) {
    for (const Vec2& p : charts.flat[charts.faces[i]]) points.push_back(p);
  }
  const std::vector<Vec2> hull = convexHull(points);
  ChartShape best;
  double bestArea = INFINITY;
  auto tryTurn = [&](double c, double s) {
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    for (const Vec2& p : hull) {
      const double x = c * p.x + s * p.y, y = -s * p.x + c * p.y;
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
    const double area = squareOnly ? std::max(x1 - x0, y1 - y0) : (x1 - x0) * (y1 - y0);
    if (area < bestArea * (1 - 1e-12)) {
      bestArea = area;
      best = {x1 - x0, y1 - y0, c, s, x0, y0, false};
    }
  };
  // The smallest rectangle has a side along an edge of the hull; the
  // smallest square need not, so turns by half degrees are tried as well.
  for (std::size_t i = 0; i < hull.size(); ++i) {
    const Vec2 a = hull[i], b = hull[(i + 1) % hull.size()];
    const double edge = std::hypot(b.x - a.x, b.y - a.y);
    if (edge > 0) tryTurn((b.x - a.x) / edge, (b.y - a.y) / edge);
  }
  for (int step = 0; squareOnly && hull.size() >= 3 && step < 180; ++step) {
    const double angle = step * 3.14159265358979323846 / 360.0;
    tryTurn(std::cos(angle), std::sin(angle));
  }
  if (!std::isfinite(bestArea)) {  // fewer than three hull points: no turn
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    for (const Vec2& p : points) x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
    best = {x1 - x0, y1 - y0, 1, 0, x0, y0, false};
  }
  const double longTexels = std::max(best.width, best.height) * tiltDensity;
  if (!squareOnly && hull.size() >= 3 && longTexels >= kTiltFromTexels && hasLongThinFaces(charts, chart, tiltDensity)) {
    const double tilt = 2.0 / longTexels, c = std::cos(tilt), s = std::sin(tilt);
    const double cosine = best.cosine * c - best.sine * s, sine = best.sine * c + best.cosine * s;
    bestArea = INFINITY;
    tryTurn(cosine, sine);
  }
  if (best.height > best.width) {
    std::swap(best.width, best.height);
    best.swapped = true;
  }
  return best;
}

// A chart point in its rectangle: x in [0, width], y in [0, height].
Vec2 inRectangle(const ChartShape& shape, Vec2 p) {
  const double x = shape.cosine * p.x + shape.sine * p.y - shape.minX;
  const double y = -shape.sine * p.x + shape.cosine * p.y - shape.minY;
  return shape.swapped ? Vec2{shape.width - y, x} : Vec2{x, y};
}

// A chart far longer than wide leaves most of a square empty however it is
// packed: it is cut across its length into pieces about as long as the
// pieces stacked are wide. Each piece is part of a sound chart, so sound.
// Charts narrower than a few times the padding stay whole: as pieces, the
// padding around each would take more room than the cut saves.
Charts splitLongCharts(Charts charts, double expectedDensity, std::int32_t padding) {
  Charts split;
  split.faceStart.push_back(0);
  for (std::size_t c = 0; c + 1 < charts.faceStart.size(); ++c) {
    const ChartShape shape = shapeOf(charts, c);
    const double aspect = shape.height > 0 ? shape.width / shape.height : 1.0;
    const auto pieces = static_cast<std::size_t>(std::clamp(std::round(std::sqrt(aspect)), 1.0, 64.0));
    const std::uint32_t begin = charts.faceStart[c], end = charts.faceStart[c + 1];
    if (pieces < 3 || end - begin < 2 || shape.height * expectedDensity < 2.0 * (padding + 1)) {
      split.faces.insert(split.faces.end(), charts.faces.begin() + begin, charts.faces.begin() + end);
      split.faceStart.push_back(static_cast<std::uint32_t>(split.faces.size()));
      continue;
    }
    std::vector<std::vector<std::uint32_t>> byPiece(pieces);
    for (std::uint32_t i = begin; i < end; ++i) {
      const std::uint32_t f = charts.faces[i];
      const Triangle2& t = charts.flat[f];
      const Vec2 centre = inRectangle(shape, {(t[0].x + t[1].x + t[2].x) / 3, (t[0].y + t[1].y + t[2].y) / 3});
      const auto piece = static_cast<std::size_t>(std::clamp(centre.x / shape.width * pieces, 0.0, pieces - 1.0));
      byPiece[piece].push_back(f);
    }
    for (const auto& faces : byPiece) {
      if (faces.empty()) continue;
      split.faces.insert(split.faces.end(), faces.begin(), faces.end());
      split.faceStart.push_back(static_cast<std::uint32_t>(split.faces.size()));
    }
  }
  split.chartOf = std::move(charts.chartOf);
  split.flat = std::move(charts.flat);
  for (std::size_t c = 0; c + 1 < split.faceStart.size(); ++c) {
    for (std::uint32_t i = split.faceStart[c]; i < split.faceStart[c + 1]; ++i) {
      split.chartOf[split.faces[i]] = static_cast<std::int32_t>(c);
    }
  }
  return split;
}

// ---- Packing --------------------------------------------------------------

struct Placement {
  std::int32_t x = 0, y = 0;  // texel where the chart's rectangle starts
};

// The largest density at which `fits` holds, searched from `start`: down by
// halves while nothing fits; once something has, up by `growth` while it keeps
// fitting (with no growth the first fit is kept), then bisection until the
// density that fails is within `tolerance` of the one that fits. 0 when
// nothing fits at all.
double largestFittingDensity(double start, double growth, double tolerance, const std::function<bool(double)>& fits,
                             const std::function<void(int step)>& stepDone) {
  double fitting = 0, failing = 0, next = start;
  for (int step = 0; step < 60; ++step) {
    if (fits(next)) {
      fitting = next;
    } else {
      failing = next;
    }
    stepDone(step);
    if (fitting == 0) {
      next *= 0.5;
      if (!(next > 1e-300)) break;
    } else if (failing == 0) {
      if (growth == 0) break;
      next = fitting * growth;
    } else if (failing / fitting < tolerance) {
      break;
    } else {
      next = std::sqrt(fitting * failing);
    }
  }
  return fitting;
}

// A chart under two texels across in either direction: it gets a spare texel
// each way, so that it can be moved onto a texel corner.
bool isTiny(const ChartShape& shape, double density) { return shape.height * density < 2.0; }

// Cells of whole texels: the chart, the spare texel of a tiny chart, and the padding.
std::int32_t cellsFor(double extent, double density, bool tiny, std::int32_t padding) {
  return static_cast<std::int32_t>(std::ceil(extent * density)) + (tiny ? 1 : 0) + padding;
}

// Bottom-left packing on a skyline, tallest first. False when a chart does
// not fit within the square's padding.
bool pack(const std::vector<ChartShape>& shapes, const std::vector<std::uint32_t>& order, double density,
          std::int32_t size, std::int32_t padding, std::vector<Placement>& placements) {
  struct Segment {
    std::int32_t x, y, width;
  };
  std::vector<Segment> skyline = {{padding, padding, size - padding}};
  placements.assign(shapes.size(), {});
  for (std::uint32_t chart : order) {
    const bool tiny = isTiny(shapes[chart], density);
    const std::int32_t width = cellsFor(shapes[chart].width, density, tiny, padding);
    const std::int32_t height = cellsFor(shapes[chart].height, density, tiny, padding);
    std::size_t bestIndex = skyline.size();
    std::int32_t bestY = size + 1, bestX = 0;
    for (std::size_t i = 0; i < skyline.size(); ++i) {
      const std::int32_t x = skyline[i].x;
      if (x + width > size) break;
      std::int32_t y = 0, covered = 0;
      for (std::size_t j = i; j < skyline.size() && covered < width; ++j) {
        y = std::max(y, skyline[j].y);
        covered += skyline[j].width;
      }
      if (y + height <= size && y < bestY) {
        bestY = y, bestX = x, bestIndex = i;
      }
    }
    if (bestIndex == skyline.size()) return false;
    placements[chart] = {bestX, bestY};
    // The chart's top becomes the skyline over its width.
    std::vector<Segment> next(skyline.begin(), skyline.begin() + static_cast<std::ptrdiff_t>(bestIndex));
    next.push_back({bestX, bestY + height, width});
    const std::int32_t end = bestX + width;
    for (std::size_t j = bestIndex; j < skyline.size(); ++j) {
      const std::int32_t segmentEnd = skyline[j].x + skyline[j].width;
      if (segmentEnd <= end) continue;
      const std::int32_t start = std::max(skyline[j].x, end);
      next.push_back({start, skyline[j].y, segmentEnd - start});
    }
    skyline.clear();
    for (const Segment& s : next) {
      if (!skyline.empty() && skyline.back().y == s.y) {
        skyline.back().width += s.width;
      } else {
        skyline.push_back(s);
      }
    }
  }
  return true;
}

// ---- Packing chart shapes -------------------------------------------------
// Each chart, laid out at the density, covers cells of whole texels: per row
// the span from its leftmost to its rightmost touched cell. The square keeps
// which cells are taken; a chart goes to the lowest, then leftmost, place
// where its spans widened by the padding (in every direction) meet no taken
// cell, so that charts nest into the room other charts leave.

struct Span {
  std::int32_t first, last;  // cells; empty when first > last
};

struct Footprint {
  std::int32_t width = 0, height = 0;  // cells
  std::vector<Span> rows;              // per row of cells, from the chart's bottom
};

// The cells a chart's triangles touch, in coordinates relative to its cell origin.
Footprint footprintOf(const std::vector<Triangle2>& triangles) {
  Footprint footprint;
  double maxX = 0, maxY = 0;
  for (const Triangle2& t : triangles) {
    for (const Vec2& p : t) maxX = std::max(maxX, p.x), maxY = std::max(maxY, p.y);
  }
  footprint.width = static_cast<std::int32_t>(std::floor(maxX)) + 1;
  footprint.height = static_cast<std::int32_t>(std::floor(maxY)) + 1;
  footprint.rows.assign(static_cast<std::size_t>(footprint.height), Span{footprint.width, -1});
  for (const Triangle2& t : triangles) {
    const double low = std::min({t[0].y, t[1].y, t[2].y}), high = std::max({t[0].y, t[1].y, t[2].y});
    const auto firstRow = static_cast<std::int32_t>(std::floor(low));
    const auto lastRow = std::min(static_cast<std::int32_t>(std::floor(high)), footprint.height - 1);
    for (std::int32_t row = std::max(firstRow, 0); row <= lastRow; ++row) {
      // The triangle's extent within the slab row <= y <= row + 1.
      const double bottom = row, top = row + 1.0;
      double x0 = INFINITY, x1 = -INFINITY;
      for (std::size_t k = 0; k < 3; ++k) {
        const Vec2 a = t[k], b = t[(k + 1) % 3];
        if (a.y >= bottom && a.y <= top) x0 = std::min(x0, a.x), x1 = std::max(x1, a.x);
        for (const double line : {bottom, top}) {
          if ((a.y - line) * (b.y - line) < 0) {
            const double x = a.x + (b.x - a.x) * (line - a.y) / (b.y - a.y);
            x0 = std::min(x0, x), x1 = std::max(x1, x);
          }
        }
      }
      if (!(x0 <= x1)) continue;
      Span& span = footprint.rows[static_cast<std::size_t>(row)];
      span.first = std::min(span.first, std::max(static_cast<std::int32_t>(std::floor(x0)), 0));
      span.last = std::max(span.last, std::min(static_cast<std::int32_t>(std::floor(x1)), footprint.width - 1));
    }
  }
  return footprint;
}

// The footprint widened by `padding` cells every way: rows -padding to height + padding - 1.
std::vector<Span> widened(const Footprint& footprint, std::int32_t padding) {
  std::vector<Span> rows(static_cast<std::size_t>(footprint.height + 2 * padding), Span{INT32_MAX, INT32_MIN});
  for (std::int32_t row = 0; row < footprint.height; ++row) {
    const Span span = footprint.rows[static_cast<std::size_t>(row)];
    if (span.first > span.last) continue;
    for (std::int32_t r = row; r <= row + 2 * padding; ++r) {
      Span& wide = rows[static_cast<std::size_t>(r)];
      wide.first = std::min(wide.first, span.first - padding);
      wide.last = std::max(wide.last, span.last + padding);
    }
  }
  return rows;
}

class Atlas {
 public:
  explicit Atlas(std::int32_t size)
      : size_(size),
        words_((size + 63) / 64),
        bits_(static_cast<std::size_t>(words_) * size, 0),
        longestFree_(static_cast<std::size_t>(size), size) {}
  // The longest run of free cells in `row` (rows outside the square: all free).
  std::int32_t longestFree(std::int32_t row) const {
    return row < 0 || row >= size_ ? size_ : longestFree_[static_cast<std::size_t>(row)];
  }
  // The highest taken cell in [first, last] of `row`, or -1.
  std::int32_t lastTaken(std::int32_t row, std::int32_t first, std::int32_t last) const {
    first = std::max(first, 0), last = std::min(last, size_ - 1);
    if (row < 0 || row >= size_ || first > last) return -1;
    const std::uint64_t* words = &bits_[static_cast<std::size_t>(row) * words_];
    for (std::int32_t w = last / 64; w >= first / 64; --w) {
      std::uint64_t word = words[w];
      if (w == last / 64 && last % 64 != 63) word &= (std::uint64_t{1} << (last % 64 + 1)) - 1;
      if (w == first / 64) word &= ~std::uint64_t{0} << (first % 64);
      if (word != 0) return w * 64 + 63 - std::countl_zero(word);
    }
    return -1;
  }
  void take(std::int32_t row, std::int32_t first, std::int32_t last) {
    std::uint64_t* words = &bits_[static_cast<std::size_t>(row) * words_];
    for (std::int32_t x = first; x <= last; ++x) words[x / 64] |= std::uint64_t{1} << (x % 64);
    std::int32_t longest = 0, run = 0;
    for (std::int32_t x = 0; x < size_; ++x) {
      run = (words[x / 64] >> (x % 64) & 1) != 0 ? 0 : run + 1;
      longest = std::max(longest, run);
    }
    longestFree_[static_cast<std::size_t>(row)] = longest;
  }

 private:
  std::int32_t size_, words_;
  std::vector<std::uint64_t> bits_;
  std::vector<std::int32_t> longestFree_;
};

// The lowest, then leftmost, place for the footprint with its widened rows
// clear of taken cells, its own cells `padding` from the square's edges.
bool place(const Atlas& atlas, const Footprint& footprint, const std::vector<Span>& wide, std::int32_t size,
           std::int32_t padding, std::int32_t firstY, Placement& placement) {
  const std::int32_t lastX = size - padding - footprint.width, lastY = size - padding - footprint.height;
  std::size_t blocking = 0;  // the widened row that blocked last: tried first
  for (std::int32_t y = std::max(firstY, padding); y <= lastY; ++y) {
    // Rows without a free run as long as the chart's: no place on this line.
    bool roomy = true;
    for (std::size_t r = 0; r < wide.size() && roomy; ++r) {
      const std::int32_t row = y - padding + static_cast<std::int32_t>(r);
      const Span span = wide[r];
      // Widened spans lie within the square wherever the chart itself does.
      roomy = span.first > span.last || atlas.longestFree(row) >= span.last - span.first + 1;
    }
    if (!roomy) continue;
    std::int32_t x = padding;
    while (x <= lastX) {
      bool clear = true;
      for (std::size_t i = 0; i < wide.size(); ++i) {
        const std::size_t r = (blocking + i) % wide.size();
        const Span span = wide[r];
        if (span.first > span.last) continue;
        const std::int32_t row = y - padding + static_cast<std::int32_t>(r);
        const std::int32_t taken = atlas.lastTaken(row, x + span.first, x + span.last);
        if (taken >= 0) {
          x = taken - span.first + 1;
          blocking = r;
          clear = false;
          break;
        }
      }
      if (clear) {
        placement = {x, y};
        return true;
      }
    }
  }
  return false;
}

// A float u with size x u exactly `texel` in single precision, as the sampler
// forms it, where there is one near texel / size; otherwise the nearest.
float lightmapCoordinate(double texel, std::int32_t size) {
  const auto u = static_cast<float>(texel / size);
  const float s = static_cast<float>(size);
  if (texel != std::floor(texel) || s * u == static_cast<float>(texel)) return u;
  for (float candidate : {std::nextafter(u, 0.0f), std::nextafter(u, 1.0f)}) {
    if (s * candidate == static_cast<float>(texel) && candidate >= 0.0f && candidate <= 1.0f) return candidate;
  }
  return u;
}

// ---- Texel corners for small faces ----------------------------------------
// A face too small to hold a texel corner gets no sample. Moving one of its
// chart-inner vertices onto a nearby corner gives it one (a vertex on a
// corner lies in the closed face) and keeps the chart sound as long as every
// face around the vertex keeps its turn: the vertex then stays inside the
// polygon its neighbours form, so nothing overlaps and the chart's outline,
// and with it the padding, does not change. A move is kept when the faces
// around the vertex hold more sampled area than before.

struct LightmapPoint {
  float u, v;
};

// Where each chart sits: the cells it may cover (its footprint from its
// placement), which keep the padding to every other chart.
struct ChartCells {
  std::vector<Footprint> footprints;
  std::vector<Placement> placements;
};

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

  auto triangle = [&](std::uint32_t f, std::array<Vertex, 3>& store) {
    for (std::size_t k = 0; k < 3; ++k) {
      store[k].lightmapU = points[f][k].u;
      store[k].lightmapV = points[f][k].v;
    }
    return std::array<const Vertex*, 3>{&store[0], &store[1], &store[2]};
  };
  std::vector<char> sampled(faces.corners.size(), 0);
  std::vector<std::uint32_t> unsampled;
  for (std::uint32_t f = 0; f < faces.corners.size(); ++f) {
    if (charts.chartOf[f] < 0) continue;
    std::array<Vertex, 3> store{};
    sampled[f] = coversTexelCorner(triangle(f, store), size) ? 1 : 0;
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
          std::array<Vertex, 3> store{};
          const auto corners3 = triangle(fan[i] / 3, store);
          sound = lightmapTurn(corners3, size) > 0;
          if (sound && coversTexelCorner(corners3, size)) after += faces.areas[fan[i] / 3];
        }
        if (sound && after > before && inner[vertex] == 0) sound = outlineStaysSound(vertex);
        if (sound && after > before) {
          movedAlready[vertex] = 1;
          for (std::uint32_t i = fanStart[vertex]; i < fanStart[vertex + 1]; ++i) {
            std::array<Vertex, 3> store{};
            sampled[fan[i] / 3] = coversTexelCorner(triangle(fan[i] / 3, store), size) ? 1 : 0;
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

}  // namespace

UvGenerationResult generateLightmapUvs(const std::vector<ImportedMesh*>& meshes, const UvGenerationOptions& options,
                                       const std::vector<const ImportedMesh*>& kept) {
  UvGenerationResult result;
  const std::int32_t size = options.size;
  const std::int32_t padding = options.padding;
  const Faces faces = collectFaces(meshes);
  if (faces.corners.empty()) return result;
  // The density if the charts covered half the square, to judge their sizes by.
  const double surface = std::accumulate(faces.areas.begin(), faces.areas.end(), 0.0);
  const double expectedDensity = surface > 0 ? size * std::sqrt(0.5 / surface) : 1.0;
  const Charts charts = splitLongCharts(growCharts(faces, options.progress), expectedDensity, padding);
  const std::size_t chartCount = charts.faceStart.size() - 1;
  result.charts = chartCount;

  std::vector<ChartShape> shapes(chartCount);
  double rectangles = 0;
  for (std::size_t c = 0; c < chartCount; ++c) {
    shapes[c] = shapeOf(charts, c, chartCount == 1, expectedDensity);
    rectangles += shapes[c].width * shapes[c].height;
  }
  std::vector<std::uint32_t> order(chartCount);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    if (shapes[a].height != shapes[b].height) return shapes[a].height > shapes[b].height;
    if (shapes[a].width != shapes[b].width) return shapes[a].width > shapes[b].width;
    return a < b;
  });

  // The density: the largest at which the rectangles pack, from the density
  // at which they alone would fill the square.
  std::vector<Placement> placements, trial;
  const double free = static_cast<double>(size - padding);
  double density = largestFittingDensity(
      rectangles > 0 ? free / std::sqrt(rectangles) : 1.0, 0.0, 1.002,
      [&](double at) { return pack(shapes, order, at, size, padding, trial); },
      [&](int step) {
        if (options.progress) options.progress(0.6 + 0.15 * std::min(step, 30) / 30.0);
      });
  if (!(density > 0)) {
    result.problem = std::to_string(chartCount) + " charts do not fit a lightmap of size " + std::to_string(size) +
                     " with padding " + std::to_string(padding);
    return result;
  }

  // A chart's face corners in texels from its cell's origin. A chart under
  // two texels across is moved within its spare texel so that one corner of
  // its first face lies on a texel corner, which the sampler always covers.
  auto localTexels = [&](std::size_t c, double at) {
    const ChartShape& shape = shapes[c];
    const std::uint32_t first = charts.faces[charts.faceStart[c]];
    double shiftX = 0, shiftY = 0;
    if (isTiny(shape, at)) {
      const Vec2 anchor = inRectangle(shape, charts.flat[first][0]);
      shiftX = std::ceil(anchor.x * at) - anchor.x * at;
      shiftY = std::ceil(anchor.y * at) - anchor.y * at;
    }
    std::vector<Triangle2> local;
    local.reserve(charts.faceStart[c + 1] - charts.faceStart[c]);
    for (std::uint32_t i = charts.faceStart[c]; i < charts.faceStart[c + 1]; ++i) {
      const std::uint32_t f = charts.faces[i];
      Triangle2& t = local.emplace_back();
      for (std::size_t k = 0; k < 3; ++k) {
        const Vec2 p = inRectangle(shape, charts.flat[f][k]);
        t[k] = {std::max(shiftX + p.x * at, 0.0), std::max(shiftY + p.y * at, 0.0)};
      }
      if (f == first && (shiftX != 0 || shiftY != 0)) t[0] = {std::round(t[0].x), std::round(t[0].y)};
    }
    return local;
  };

  // Then charts by their shapes, at the density the rectangles allow and up
  // from there while they fit.
  std::vector<std::uint32_t> byArea(chartCount);
  std::iota(byArea.begin(), byArea.end(), 0u);
  std::sort(byArea.begin(), byArea.end(), [&](std::uint32_t a, std::uint32_t b) {
    const double areaA = shapes[a].width * shapes[a].height, areaB = shapes[b].width * shapes[b].height;
    return areaA != areaB ? areaA > areaB : a < b;
  });
  // The cells the kept layouts take, rasterised as the charts' are.
  Atlas taken(size);
  std::size_t takenCells = 0;
  for (const ImportedMesh* mesh : kept) {
    for (std::size_t t = 0; t + 2 < mesh->triangles.size(); t += 3) {
      Triangle2 triangle{};
      for (std::size_t k = 0; k < 3; ++k) {
        const Vertex& v = mesh->vertices[mesh->triangles[t + k]];
        const float s = static_cast<float>(size);
        triangle[k] = {std::clamp(double{s * v.lightmapU}, 0.0, double(size) - 0.5),
                       std::clamp(double{s * v.lightmapV}, 0.0, double(size) - 0.5)};
        if (!std::isfinite(triangle[k].x) || !std::isfinite(triangle[k].y)) triangle[k] = {0, 0};
      }
      const Footprint cells = footprintOf({triangle});
      for (std::int32_t row = 0; row < cells.height; ++row) {
        const Span span = cells.rows[static_cast<std::size_t>(row)];
        if (span.first > span.last) continue;
        for (std::int32_t x = span.first; x <= span.last; ++x) {
          if (taken.lastTaken(row, x, x) < 0) ++takenCells;
        }
        taken.take(row, span.first, span.last);
      }
    }
  }
  auto packShapes = [&](double at, std::vector<Placement>& out) {
    Atlas atlas = taken;
    out.assign(chartCount, {});
    // Where the last small chart of each width and height went: cells are only
    // ever taken, so the next one of that size starts looking there (many
    // models have thousands of small charts alike).
    std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> lastRowOfSize;
    for (std::uint32_t c : byArea) {
      const Footprint footprint = footprintOf(localTexels(c, at));
      if (footprint.width > size - 2 * padding || footprint.height > size - 2 * padding) return false;
      const bool small = footprint.width <= 64 && footprint.height <= 64;
      std::int32_t& firstY = lastRowOfSize[{small ? footprint.width : 0, small ? footprint.height : 0}];
      Placement spot;
      if (!place(atlas, footprint, widened(footprint, padding), size, padding, small ? firstY : 0, spot)) return false;
      firstY = spot.y;
      for (std::int32_t row = 0; row < footprint.height; ++row) {
        const Span span = footprint.rows[static_cast<std::size_t>(row)];
        if (span.first <= span.last) atlas.take(spot.y + row, spot.x + span.first, spot.x + span.last);
      }
      out[c] = spot;
    }
    return true;
  };
  // From there by the charts' shapes: up by steps while they fit, down by
  // halves while they do not (around kept layouts the rectangles' estimate is
  // too high), then bisection to within 1.5 %.
  const double freeShare = 1.0 - static_cast<double>(takenCells) / (static_cast<double>(size) * size);
  density = largestFittingDensity(
      density * std::sqrt(std::max(freeShare, 1e-6)), 1.15, 1.015,
      [&](double at) {
        if (!packShapes(at, trial)) return false;
        placements.swap(trial);
        return true;
      },
      [&](int step) {
        if (options.progress) options.progress(0.75 + 0.15 * std::min(step, 12) / 12.0);
      });
  if (!(density > 0)) {
    result.problem = std::to_string(chartCount) + " charts do not fit beside the kept layouts in a lightmap of size " +
                     std::to_string(size) + " with padding " + std::to_string(padding);
    return result;
  }
  result.texelsPerUnit = density;

  std::vector<std::array<Vec2, 3>> texels(faces.corners.size());
  double texelArea = 0;  // of the charts as laid flat
  for (std::size_t c = 0; c < chartCount; ++c) {
    const std::vector<Triangle2> local = localTexels(c, density);
    for (std::uint32_t i = charts.faceStart[c]; i < charts.faceStart[c + 1]; ++i) {
      const std::uint32_t f = charts.faces[i];
      const Triangle2& t = local[i - charts.faceStart[c]];
      texelArea += 0.5 * cross2(t[0], t[1], t[2]);
      for (std::size_t k = 0; k < 3; ++k) {
        texels[f][k] = {std::min(placements[c].x + t[k].x, double(size)), std::min(placements[c].y + t[k].y, double(size))};
      }
    }
  }
  result.coveredShare = texelArea / (static_cast<double>(size) * size);

  // Lightmap coordinates of every face corner. Degenerate faces take a point
  // of a chart they touch, so they take no room.
  std::vector<std::array<LightmapPoint, 3>> points(faces.corners.size());
  for (std::size_t f = 0; f < faces.corners.size(); ++f) {
    if (charts.chartOf[f] < 0) continue;
    for (std::size_t k = 0; k < 3; ++k) {
      points[f][k] = {lightmapCoordinate(texels[f][k].x, size), lightmapCoordinate(texels[f][k].y, size)};
    }
  }
  std::vector<LightmapPoint> pointAt(faces.positions.size(), LightmapPoint{-1, -1});
  for (std::size_t f = 0; f < faces.corners.size(); ++f) {
    for (std::size_t k = 0; k < 3 && charts.chartOf[f] >= 0; ++k) pointAt[faces.corners[f][k]] = points[f][k];
  }
  const float inside = lightmapCoordinate(padding, size);  // a face touching no chart
  for (std::size_t f = 0; f < faces.corners.size(); ++f) {
    if (charts.chartOf[f] >= 0) continue;
    LightmapPoint point = {inside, inside};
    for (std::size_t k = 0; k < 3; ++k) {
      if (pointAt[faces.corners[f][k]].u >= 0) point = pointAt[faces.corners[f][k]];
    }
    points[f] = {point, point, point};
  }
  ChartCells chartCells;
  chartCells.placements = placements;
  for (std::size_t c = 0; c < chartCount; ++c) chartCells.footprints.push_back(footprintOf(localTexels(c, density)));
  result.snappedVertices = snapToTexelCorners(faces, charts, size, chartCells, points);
  if (options.progress) options.progress(0.97);

  // Each mesh: one vertex per triangle corner, with its new coordinates.
  std::size_t face = 0;
  for (ImportedMesh* mesh : meshes) {
    std::vector<Vertex> vertices;
    vertices.reserve(mesh->triangles.size());
    for (std::size_t t = 0; t + 2 < mesh->triangles.size(); t += 3, ++face) {
      for (std::size_t k = 0; k < 3; ++k) {
        Vertex vertex = mesh->vertices[mesh->triangles[t + k]];
        vertex.lightmapU = points[face][k].u;
        vertex.lightmapV = points[face][k].v;
        vertices.push_back(vertex);
      }
    }
    mesh->triangles.resize(vertices.size());
    std::iota(mesh->triangles.begin(), mesh->triangles.end(), 0u);
    mesh->vertices = std::move(vertices);
    mesh->hasLightmapSet = true;
  }
  if (options.progress) options.progress(1.0);
  result.generated = true;
  return result;
}

}  // namespace lumivex
