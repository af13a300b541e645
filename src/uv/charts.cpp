#include "uv/charts.h"

#include "math/orientation.h"

#include <algorithm>
#include <array>
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
  // An edge of either separates them when the other lies wholly outside it
  // (within the tolerance): the other's nearest corner, measured from the
  // edge along its outward normal, is at least -tolerance times its length.
  for (const Triangle2* t : {&a, &b}) {
    const Triangle2& other = t == &a ? b : a;
    for (std::size_t k = 0; k < 3; ++k) {
      const Vec2 p = (*t)[k], q = (*t)[(k + 1) % 3];
      const double nx = q.y - p.y, ny = p.x - q.x;  // outward for a counter-clockwise triangle
      double nearest = INFINITY;
      for (const Vec2& v : other) nearest = std::min(nearest, nx * (v.x - p.x) + ny * (v.y - p.y));
      if (nearest >= 0 || nearest * nearest <= tolerance * tolerance * (nx * nx + ny * ny)) return false;
    }
  }
  return true;
}

namespace {

// The faces of one chart as they are being laid flat, in grids of cells of
// several sizes, so that a new face is tested only against the faces near it
// whatever their sizes (charts mix faces of very different sizes, and their
// faces shrink where they are laid flat at a slant). A face is kept in the
// grid whose cells are about its size, in each cell its box meets (four at
// most).
class FlatChart {
 public:
  explicit FlatChart(double cellSize) : coarsest_(4 * cellSize) {}

  bool overlaps(const Triangle2& triangle) const {
    const Box box = boxOf(triangle);
    const double tolerance = 1e-9 * coarsest_;
    ++query_;
    for (std::int32_t level = 0; level < kLevels; ++level) {
      const std::vector<std::uint32_t>& all = byLevel_[static_cast<std::size_t>(level)];
      if (all.empty()) continue;
      const double cell = cellSize(level);
      const std::int64_t x0 = cellOf(box.x0, cell), x1 = cellOf(box.x1, cell);
      const std::int64_t y0 = cellOf(box.y0, cell), y1 = cellOf(box.y1, cell);
      // Fewer faces than cells to look in: each face instead.
      if (static_cast<double>(x1 - x0 + 1) * static_cast<double>(y1 - y0 + 1) > static_cast<double>(all.size())) {
        for (std::uint32_t index : all) {
          if (interiorsOverlap(triangles_[index], triangle, tolerance)) return true;
        }
        continue;
      }
      for (std::int64_t y = y0; y <= y1; ++y) {
        for (std::int64_t x = x0; x <= x1; ++x) {
          const auto found = cells_.find(key(level, x, y));
          if (found == cells_.end()) continue;
          for (std::uint32_t index : found->second) {
            // A face kept in several of these cells is tested once.
            if (testedIn_[index] == query_) continue;
            testedIn_[index] = query_;
            if (interiorsOverlap(triangles_[index], triangle, tolerance)) return true;
          }
        }
      }
    }
    return false;
  }

  void add(const Triangle2& triangle) {
    const auto index = static_cast<std::uint32_t>(triangles_.size());
    triangles_.push_back(triangle);
    const Box box = boxOf(triangle);
    const double extent = std::max(box.x1 - box.x0, box.y1 - box.y0);
    std::int32_t level = 0;
    while (level + 1 < kLevels && cellSize(level + 1) >= extent) ++level;
    byLevel_[static_cast<std::size_t>(level)].push_back(index);
    testedIn_.push_back(0);
    const double cell = cellSize(level);
    for (std::int64_t y = cellOf(box.y0, cell); y <= cellOf(box.y1, cell); ++y) {
      for (std::int64_t x = cellOf(box.x0, cell); x <= cellOf(box.x1, cell); ++x) cells_[key(level, x, y)].push_back(index);
    }
  }

 private:
  static constexpr std::int32_t kLevels = 12;  // cells from 4 times the first face's size down to 1/1024 of it
  struct Box {
    double x0, y0, x1, y1;
  };
  static Box boxOf(const Triangle2& t) {
    return {std::min({t[0].x, t[1].x, t[2].x}), std::min({t[0].y, t[1].y, t[2].y}), std::max({t[0].x, t[1].x, t[2].x}),
            std::max({t[0].y, t[1].y, t[2].y})};
  }
  double cellSize(std::int32_t level) const { return std::ldexp(coarsest_, -level); }
  static std::int64_t cellOf(double v, double cell) {
    return static_cast<std::int64_t>(std::floor(std::clamp(v / cell, -1e15, 1e15)));
  }
  static std::uint64_t key(std::int32_t level, std::int64_t x, std::int64_t y) {
    return (static_cast<std::uint64_t>(x) * 0x9e3779b97f4a7c15ull ^ static_cast<std::uint64_t>(y) * 0xc2b2ae3d27d4eb4full) +
           static_cast<std::uint64_t>(level);
  }
  double coarsest_;
  std::vector<Triangle2> triangles_;
  std::array<std::vector<std::uint32_t>, kLevels> byLevel_;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> cells_;
  mutable std::vector<std::uint32_t> testedIn_;  // per face: the last query that tested it
  mutable std::uint32_t query_ = 0;
};

// Two unit vectors spanning the plane at right angles to `n`.
void planeOf(Vec3 n, Vec3& tangent, Vec3& bitangent) {
  const Vec3 helper = std::fabs(n.x) < 0.6 ? Vec3{1, 0, 0} : std::fabs(n.y) < 0.6 ? Vec3{0, 1, 0} : Vec3{0, 0, 1};
  tangent = cross(helper, n);
  tangent = scaled(tangent, 1.0 / length(tangent));
  bitangent = cross(n, tangent);
}

// Whether a chart laid flat is free of overlaps can often be told from its
// outline alone. Its faces all turn the same way, so a point of the plane is
// covered as many times as the outline winds around it. Where the chart is
// a sphere with holes (one piece, Euler characteristic 2 minus its outline
// loops), its outline loops neither cross nor touch each other or
// themselves, and only one of them winds the faces' way (the outer one; the
// holes wind the other way), no point is wound around more than once: no two
// faces overlap. The test costs a pass over the chart's edges and a check of
// its outline, far less than testing every face against its neighbours,
// which is left for the charts the test cannot clear (and gives the same
// charts where it can).
class OutlineTest {
 public:
  explicit OutlineTest(const Faces& faces) : faces_(faces), seen_(faces.positions.size(), 0), next_(faces.positions.size()) {}

  // True when the chart's faces (charts.faces[first..]), laid flat as
  // flatOf(i) for the i-th of them, surely do not overlap.
  template <typename FlatOf>
  bool clears(const Charts& charts, std::uint32_t first, std::int32_t chart, FlatOf&& flatOf) {
    ++stamp_;
    outline_.clear();
    std::size_t interiorSides = 0, vertices = 0;
    for (std::size_t i = first; i < charts.faces.size(); ++i) {
      const std::uint32_t f = charts.faces[i];
      if (faces_.onCrowdedEdge[f] != 0) return false;
      for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t p = faces_.corners[f][k], q = faces_.corners[f][(k + 1) % 3];
        if (seen_[p] != stamp_) seen_[p] = stamp_, ++vertices;
        const int across = acrossEdge(charts, f, chart, p, q);
        if (across < 0) return false;  // the neighbour turns the other way
        if (across > 0) {
          ++interiorSides;
          continue;
        }
        const Triangle2 t = flatOf(i - first);
        outline_.push_back({p, q, t[k], t[(k + 1) % 3]});
      }
    }
    const std::size_t faceCount = charts.faces.size() - first;
    const std::size_t edges = interiorSides / 2 + outline_.size();
    const std::size_t loops = outerLoops();
    if (interiorSides % 2 != 0 || loops == 0 || vertices + faceCount + loops != edges + 2) return false;
    return isSimple();
  }

 private:
  struct Side {
    std::uint32_t from, to;  // positions
    Vec2 a, b;               // laid flat
  };

  // 1 when a face of the chart shares edge p -> q turned the other way (q ->
  // p), -1 when one shares it turned the same way, 0 when none does.
  int acrossEdge(const Charts& charts, std::uint32_t f, std::int32_t chart, std::uint32_t p, std::uint32_t q) const {
    for (std::uint32_t i = faces_.neighbourStart[f]; i < faces_.neighbourStart[f + 1]; ++i) {
      const std::uint32_t g = faces_.neighbours[i];
      if (charts.chartOf[g] != chart) continue;
      for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t a = faces_.corners[g][k], b = faces_.corners[g][(k + 1) % 3];
        if (a == q && b == p) return 1;
        if (a == p && b == q) return -1;
      }
    }
    return 0;
  }

  // The number of outline loops, when each outline vertex starts exactly one
  // outline side and exactly one loop winds the faces' way (counter-
  // clockwise); otherwise 0.
  std::size_t outerLoops() {
    ++stamp_;
    for (std::size_t i = 0; i < outline_.size(); ++i) {
      if (seen_[outline_[i].from] == stamp_) return 0;  // two sides leave one vertex: a pinch
      seen_[outline_[i].from] = stamp_;
      next_[outline_[i].from] = static_cast<std::uint32_t>(i);
    }
    ++stamp_;
    std::size_t loops = 0, outer = 0;
    for (const Side& start : outline_) {
      if (seen_[start.from] == stamp_) continue;
      double twiceArea = 0;
      for (std::uint32_t at = start.from; seen_[at] != stamp_;) {
        seen_[at] = stamp_;
        const Side& side = outline_[next_[at]];
        twiceArea += side.a.x * side.b.y - side.b.x * side.a.y;
        at = side.to;
      }
      ++loops;
      outer += twiceArea > 0 ? 1 : 0;
    }
    return outer == 1 ? loops : 0;
  }

  // No two outline sides meet but neighbours at their shared vertex, and no
  // neighbours fold back along each other. Sides are sorted into a grid of
  // cells about a side long, and the sides sharing a cell are tested exactly.
  bool isSimple() const;

  const Faces& faces_;
  std::vector<std::uint32_t> seen_;  // per position: the stamp of the last pass that saw it
  std::vector<std::uint32_t> next_;  // per position on the outline: the side leaving it
  std::uint32_t stamp_ = 0;
  std::vector<Side> outline_;
};

namespace {

int turnOf(Vec2 a, Vec2 b, Vec2 p) { return orientation({a.x, a.y}, {b.x, b.y}, {p.x, p.y}); }

// p, on the line through a and b, lies on the closed segment a-b.
bool withinSegment(Vec2 a, Vec2 b, Vec2 p) {
  return std::min(a.x, b.x) <= p.x && p.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= p.y &&
         p.y <= std::max(a.y, b.y);
}

// Closed segments a-b and c-d meet (crossing, touching, or overlapping).
bool segmentsMeet(Vec2 a, Vec2 b, Vec2 c, Vec2 d) {
  const int o1 = turnOf(a, b, c), o2 = turnOf(a, b, d), o3 = turnOf(c, d, a), o4 = turnOf(c, d, b);
  if (o1 * o2 < 0 && o3 * o4 < 0) return true;
  return (o1 == 0 && withinSegment(a, b, c)) || (o2 == 0 && withinSegment(a, b, d)) ||
         (o3 == 0 && withinSegment(c, d, a)) || (o4 == 0 && withinSegment(c, d, b));
}

}  // namespace

bool OutlineTest::isSimple() const {
  const std::size_t sides = outline_.size();
  double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY, total = 0;
  for (const Side& side : outline_) {
    for (const Vec2& p : {side.a, side.b}) x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
    total += std::hypot(side.b.x - side.a.x, side.b.y - side.a.y);
  }
  // Neighbouring sides fold back along each other where the outline turns by
  // a half turn.
  for (const Side& side : outline_) {
    const Side& after = outline_[next_[side.to]];
    if (turnOf(side.a, side.b, after.b) == 0 && (after.b.x - side.b.x) * (side.a.x - side.b.x) +
                                                        (after.b.y - side.b.y) * (side.a.y - side.b.y) > 0) {
      return false;
    }
  }
  // Cells at least a side long, and no more cells than sides.
  const double n = static_cast<double>(sides);
  const double cell = std::max({total / n, std::sqrt((x1 - x0) * (y1 - y0) / n), 1e-300});
  const auto columns = static_cast<std::size_t>(std::clamp((x1 - x0) / cell, 0.0, n)) + 1;
  const auto rows = static_cast<std::size_t>(std::clamp((y1 - y0) / cell, 0.0, n)) + 1;
  const double cellX = (x1 - x0) / static_cast<double>(columns) + 1e-300, cellY = (y1 - y0) / static_cast<double>(rows) + 1e-300;
  const auto column = [&](double x) { return std::min(static_cast<std::size_t>((x - x0) / cellX), columns - 1); };
  const auto row = [&](double y) { return std::min(static_cast<std::size_t>((y - y0) / cellY), rows - 1); };
  std::vector<std::vector<std::uint32_t>> grid(columns * rows);
  for (std::size_t i = 0; i < sides; ++i) {
    const Side& side = outline_[i];
    for (std::size_t r = row(std::min(side.a.y, side.b.y)); r <= row(std::max(side.a.y, side.b.y)); ++r) {
      for (std::size_t c = column(std::min(side.a.x, side.b.x)); c <= column(std::max(side.a.x, side.b.x)); ++c) {
        grid[r * columns + c].push_back(static_cast<std::uint32_t>(i));
      }
    }
  }
  for (const std::vector<std::uint32_t>& inCell : grid) {
    for (std::size_t i = 0; i < inCell.size(); ++i) {
      for (std::size_t j = i + 1; j < inCell.size(); ++j) {
        const Side& s = outline_[inCell[i]];
        const Side& t = outline_[inCell[j]];
        if (s.from == t.to || s.to == t.from) continue;  // neighbours meet at their shared vertex
        if (segmentsMeet(s.a, s.b, t.a, t.b)) return false;
      }
    }
  }
  return true;
}

// Grows the charts one by one, each from its seed face outwards.
class ChartGrower {
 public:
  ChartGrower(const Faces& faces, double minimumCosine, Charts& charts)
      : faces_(faces), minimumCosine_(minimumCosine), charts_(charts), outline_(faces) {}

  // Grows a new chart from `seed`; returns how many faces it took.
  std::size_t grow(std::uint32_t seed) {
    chart_ = static_cast<std::int32_t>(charts_.faceStart.size() - 1);
    first_ = static_cast<std::uint32_t>(charts_.faces.size());
    axis_ = faces_.normals[seed];
    planeOf(axis_, tangent_, bitangent_);
    origin_ = faces_.positions[faces_.corners[seed][0]];
    const Triangle2 seedFlat = laidFlat(seed);
    double longest = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      longest = std::max(longest, std::hypot(seedFlat[k].x - seedFlat[(k + 1) % 3].x, seedFlat[k].y - seedFlat[(k + 1) % 3].y));
    }
    // Grown without testing for overlaps first; where the outline cannot
    // clear the chart, grown again testing each face.
    growFrom(seed, nullptr);
    if (!outline_.clears(charts_, first_, chart_, [&](std::size_t i) { return charts_.flat[charts_.faces[first_ + i]]; })) {
      for (std::size_t i = first_; i < charts_.faces.size(); ++i) charts_.chartOf[charts_.faces[i]] = -1;
      charts_.faces.resize(first_);
      FlatChart flat(longest);
      growFrom(seed, &flat);
    }
    if (length(normalSum_) > 0) relayOnMeanPlane(scaled(normalSum_, 1.0 / length(normalSum_)), longest);
    charts_.faceStart.push_back(static_cast<std::uint32_t>(charts_.faces.size()));
    return charts_.faces.size() - first_;
  }

 private:
  Triangle2 laidFlat(std::uint32_t f) const { return laidOn(f, tangent_, bitangent_); }
  Triangle2 laidOn(std::uint32_t f, Vec3 tangent, Vec3 bitangent) const {
    Triangle2 t{};
    for (std::size_t k = 0; k < 3; ++k) {
      const Vec3 p = faces_.positions[faces_.corners[f][k]] - origin_;
      t[k] = {dot(p, tangent), dot(p, bitangent)};
    }
    return t;
  }

  // Breadth first from the seed: a neighbour joins while its normal lies in
  // the cone, it turns the chart's way laid flat, and (when `flat` is given)
  // it overlaps none of the chart's faces.
  void growFrom(std::uint32_t seed, FlatChart* flat) {
    normalSum_ = {0, 0, 0};
    const auto join = [&](std::uint32_t f, const Triangle2& t) {
      charts_.chartOf[f] = chart_;
      charts_.flat[f] = t;
      charts_.faces.push_back(f);
      if (flat != nullptr) flat->add(t);
      normalSum_ = normalSum_ + scaled(faces_.normals[f], faces_.areas[f]);
    };
    join(seed, laidFlat(seed));
    for (std::size_t next = first_; next < charts_.faces.size(); ++next) {
      const std::uint32_t f = charts_.faces[next];
      for (std::uint32_t i = faces_.neighbourStart[f]; i < faces_.neighbourStart[f + 1]; ++i) {
        const std::uint32_t g = faces_.neighbours[i];
        if (charts_.chartOf[g] >= 0 || faces_.areas[g] <= 0.0 || dot(faces_.normals[g], axis_) < minimumCosine_) continue;
        const Triangle2 t = laidFlat(g);
        if (!(cross2(t[0], t[1], t[2]) > 0.0) || (flat != nullptr && flat->overlaps(t))) continue;
        join(g, t);
      }
    }
  }

  // Lays the chart's faces flat on the plane of their mean normal instead,
  // when that shrinks the most tilted face less than the first face's plane
  // does and every face stays turned the chart's way and clear of the
  // others: the faces then keep more of their area.
  void relayOnMeanPlane(Vec3 mean, double cellSize) {
    double worstOnAxis = 1, worstOnMean = 1;
    for (std::size_t i = first_; i < charts_.faces.size(); ++i) {
      const Vec3 n = faces_.normals[charts_.faces[i]];
      worstOnAxis = std::min(worstOnAxis, dot(n, axis_));
      worstOnMean = std::min(worstOnMean, dot(n, mean));
    }
    if (!(worstOnMean > worstOnAxis + 0.02)) return;
    Vec3 tangent{}, bitangent{};
    planeOf(mean, tangent, bitangent);
    std::vector<Triangle2> laid;
    laid.reserve(charts_.faces.size() - first_);
    for (std::size_t i = first_; i < charts_.faces.size(); ++i) {
      laid.push_back(laidOn(charts_.faces[i], tangent, bitangent));
      if (!(cross2(laid.back()[0], laid.back()[1], laid.back()[2]) > 0.0)) return;
    }
    if (!outline_.clears(charts_, first_, chart_, [&](std::size_t i) { return laid[i]; })) {
      FlatChart flat(cellSize);
      for (const Triangle2& t : laid) {
        if (flat.overlaps(t)) return;
        flat.add(t);
      }
    }
    for (std::size_t i = first_; i < charts_.faces.size(); ++i) charts_.flat[charts_.faces[i]] = laid[i - first_];
  }

  const Faces& faces_;
  double minimumCosine_;
  Charts& charts_;
  OutlineTest outline_;
  std::int32_t chart_ = 0;
  std::uint32_t first_ = 0;  // the chart's first face in charts_.faces
  Vec3 axis_{}, tangent_{}, bitangent_{}, origin_{};
  Vec3 normalSum_{};
};

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
  ChartGrower grower(faces, std::cos(maxChartAngle * 3.14159265358979323846 / 180.0), charts);
  std::size_t assigned = 0;
  for (std::uint32_t seed : seeds) {
    if (charts.chartOf[seed] >= 0) continue;
    assigned += grower.grow(seed);
    if (progress && charts.faceStart.size() % 256 == 0) progress(0.6 * static_cast<double>(assigned) / count);
  }
  return charts;
}

}  // namespace lumivex::uv
