#include "uv/charts.h"

#include "math/processor_count.h"

#include "math/orientation.h"
#include "uv/chart_shapes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <queue>
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

// A chart may instead be rolled out along its faces' edges, each face
// turned about the edge it shares with the chart: a tube then lies flat
// whole, with no face shrunk, where a cone of normals takes a third of it.
// A face joins while its sides keep their lengths within kUnfoldStretch:
// 2 % changes a face's area by 4 % at most, far below what laying a face
// flat at the cone's edge costs (half of it at 60 degrees), and lets a
// finely divided surface of little curvature roll out too (at 0.2 % the
// models of assimp-testmodels cover 0.001 less of the square on average).
constexpr double kUnfoldStretch = 0.02;
// Rolled out, a chart wins where it takes more of the surface than the cone
// from the same seed and fills at least kUnfoldedFill of its convex hull
// (or as much as the cone's chart does): a strip wound around a bent tube
// takes much surface but leaves most of its hull empty, and is cut into
// many pieces later (without this rule, and with no bound on curvature
// below, the models of assimp-testmodels covered 0.656 of the square on
// average instead of 0.693, with 42.6 triangles per chart instead of 53.2).
constexpr double kUnfoldedFill = 0.8;
// Only charts of kUnfoldFromTexels or more at the expected density are
// rolled out. A small mesh rolled out whole is one chart of a few texels
// whose thin faces all lie along the rows: on the engines of
// assimp-testmodels, small pins lost up to 0.68 of their surface with
// charts rolled out from 64 texels, 0.21 from 256 (as laid flat on planes).
constexpr double kUnfoldFromTexels = 256;
// A chart rolled out closes the fans of at most kUnfoldCurvature radians of
// curvature (the angles by which its inner vertices' corners fall short of
// a full turn), and stops where it would close more: a tube or a cone has
// none, and a sphere or a saddle keeps its faces' shapes better laid flat
// on a plane than rolled out. On a sphere, 0.1 is a cap of a tenth of its
// radius squared (0.3 gives the same mean coverage and charts over
// assimp-testmodels, four models within 0.005 of 0.1's layouts). Without
// the bound, rolling out a finely divided sphere spreads a web of cracks
// over most of it before it is refused (the 1 M sphere took 9 s, not 2.5).
constexpr double kUnfoldCurvature = 0.1;
// Faces moved out of one chart into another fill notches, after which the
// faces beside them may jut out in turn; kSmoothingPasses passes over all
// faces at most (on the 1 M sphere a second pass moves 4 faces, a third
// none; twelve passes give assimp-testmodels the same mean as four).
constexpr std::size_t kSmoothingPasses = 4;
// Only faces whose longest side is kSmoothFromTexels texels or more at the
// expected density move: a smaller face juts into a cell or two of the
// chart's image, below what its padding takes anyway. On the 1 M sphere,
// whose faces are under a texel, moving its 523 jutting faces gave no
// better outline but moved the density search onto a lower band (0.782
// of the square to 0.747).
constexpr double kSmoothFromTexels = 2;

// A chart's seed: the face it was grown from, its first.
std::uint32_t seedOf(const Charts& charts, std::size_t c) { return charts.faces[charts.faceStart[c]]; }

// The plane a chart laid flat lies on, and the cone it grew in.
struct ChartPlane {
  Vec3 axis, tangent, bitangent, origin;
  double cellSize;  // for testing its faces for overlaps: its seed's longest side
};

Triangle2 laidOn(const Faces& faces, std::uint32_t f, const ChartPlane& plane) {
  Triangle2 t{};
  for (std::size_t k = 0; k < 3; ++k) {
    const Vec3 p = faces.positions[faces.corners[f][k]] - plane.origin;
    t[k] = {dot(p, plane.tangent), dot(p, plane.bitangent)};
  }
  return t;
}

// Grows the charts one by one, each from its seed face outwards.
class ChartGrower {
 public:
  ChartGrower(const Faces& faces, double minimumCosine, const UnfoldLimits& unfold, Charts& charts)
      : faces_(faces), minimumCosine_(minimumCosine), expectedDensity_(unfold.expectedDensity),
        smallestUnfolded_(unfold.unfold && unfold.expectedDensity > 0
                              ? kUnfoldFromTexels / (unfold.expectedDensity * unfold.expectedDensity)
                              : INFINITY),
        charts_(charts), outline_(faces) {
    if (smallestUnfolded_ == INFINITY) return;  // every chart laid flat: none of the state below
    placedAt_.resize(faces.positions.size());
    placedIn_.assign(faces.positions.size(), 0);
    blockedIn_.assign(faces.positions.size(), 0);
    joinedFaces_.assign(faces.positions.size(), 0);
    findFacesAround();
  }

  std::vector<char> rolledOut;    // per chart grown: rolled out rather than laid flat on a plane
  std::vector<ChartPlane> planes;  // per chart grown: its plane, where laid flat on one

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
    ChartPlane plane{axis_, tangent_, bitangent_, origin_, longest};
    if (length(normalSum_) > 0) relayOnMeanPlane(scaled(normalSum_, 1.0 / length(normalSum_)), longest, plane);
    rolledOut.push_back(keepUnfoldedWhereLarger(seed, longest) ? 1 : 0);
    planes.push_back(plane);
    charts_.faceStart.push_back(static_cast<std::uint32_t>(charts_.faces.size()));
    return charts_.faces.size() - first_;
  }

 private:
  Triangle2 laidFlat(std::uint32_t f) const { return laidOn(f, tangent_, bitangent_); }
  Triangle2 laidOn(std::uint32_t f, Vec3 tangent, Vec3 bitangent) const {
    return uv::laidOn(faces_, f, {axis_, tangent, bitangent, origin_, 0});
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

  // The surface of the chart being grown, and the share of its hull it fills.
  double areaSince(std::uint32_t first) const {
    double area = 0;
    for (std::size_t i = first; i < charts_.faces.size(); ++i) area += faces_.areas[charts_.faces[i]];
    return area;
  }

  double fillSince(std::uint32_t first) const {
    std::vector<Triangle2> flats;
    for (std::size_t i = first; i < charts_.faces.size(); ++i) flats.push_back(charts_.flat[charts_.faces[i]]);
    return fillOf(flats);
  }

  // Whether no face of the chart being grown is long and thin at the
  // expected density: rolled out, such faces lie side by side along the
  // rows, where many miss every texel corner.
  bool noLongThinFaces() const {
    for (std::size_t i = first_; i < charts_.faces.size(); ++i) {
      if (longThinLength(charts_.flat[charts_.faces[i]], expectedDensity_) < INFINITY) return false;
    }
    return true;
  }

  // The share of their convex hull that the faces fill.
  static double fillOf(const std::vector<Triangle2>& flats) {
    std::vector<Vec2> corners;
    double area = 0;
    for (const Triangle2& t : flats) {
      area += cross2(t[0], t[1], t[2]);
      corners.insert(corners.end(), t.begin(), t.end());
    }
    const double hullArea = doubledArea(convexHull(std::move(corners)));
    return hullArea > 0 ? area / hullArea : 1.0;
  }

  void dropChart() {
    for (std::size_t i = first_; i < charts_.faces.size(); ++i) charts_.chartOf[charts_.faces[i]] = -1;
    charts_.faces.resize(first_);
  }

  // The chart grown from the same seed by rolling it out instead, where
  // that takes more of the surface, fills its hull well enough and has no
  // long thin face.
  bool keepUnfoldedWhereLarger(std::uint32_t seed, double cellSize) {
    if (smallestUnfolded_ == INFINITY) return false;
    const double projectedArea = areaSince(first_);
    const std::vector<std::uint32_t> projected(charts_.faces.begin() + first_, charts_.faces.end());
    std::vector<Triangle2> projectedFlat;
    projectedFlat.reserve(projected.size());
    for (const std::uint32_t f : projected) projectedFlat.push_back(charts_.flat[f]);
    dropChart();
    unfoldFrom(seed, nullptr);
    // Tested for overlaps (and grown again) only where it could win: no
    // larger untested, it is no larger tested (on a sphere, never).
    if (areaSince(first_) > projectedArea &&
        !outline_.clears(charts_, first_, chart_, [&](std::size_t i) { return charts_.flat[charts_.faces[first_ + i]]; })) {
      dropChart();
      FlatChart flat(cellSize);
      unfoldFrom(seed, &flat);
    }
    const double unfoldedArea = areaSince(first_);
    if (unfoldedArea > projectedArea && unfoldedArea >= smallestUnfolded_ && noLongThinFaces() &&
        fillSince(first_) >= std::min(kUnfoldedFill, fillOf(projectedFlat))) {
      return true;
    }
    dropChart();
    for (std::size_t i = 0; i < projected.size(); ++i) {
      charts_.chartOf[projected[i]] = chart_;
      charts_.flat[projected[i]] = projectedFlat[i];
      charts_.faces.push_back(projected[i]);
    }
    return false;
  }

  // Nearest first from the seed: a neighbour across an edge whose faces'
  // normals lie within the chart angle joins, turned about that edge into
  // the chart's plane, while its corners placed before keep its sides within
  // kUnfoldStretch of their lengths, it turns the chart's way, and (when
  // `flat` is given) it overlaps none of the chart's faces.
  void unfoldFrom(std::uint32_t seed, FlatChart* flat) {
    ++placedStamp_;
    const auto join = [&](std::uint32_t f, const Triangle2& t) {
      charts_.chartOf[f] = chart_;
      charts_.flat[f] = t;
      charts_.faces.push_back(f);
      if (flat != nullptr) flat->add(t);
      curvatureInside_ += curvatureClosedBy(f);  // counted before f joins
      for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t p = faces_.corners[f][k];
        if (placedIn_[p] != placedStamp_) placedIn_[p] = placedStamp_, placedAt_[p] = t[k], joinedFaces_[p] = 0;
        ++joinedFaces_[p];
      }
    };
    curvatureInside_ = 0;
    const Triangle2 seedFlat = laidFlat(seed);
    join(seed, seedFlat);
    const Vec2 centre = centreOf(seedFlat);
    // Nearest faces first (by their centres laid flat), so that a chart
    // rolled around a tube meets itself along a straight seam.
    using Candidate = std::pair<double, std::uint32_t>;
    std::priority_queue<Candidate, std::vector<Candidate>, std::greater<>> nearest;
    const auto offerNeighbours = [&](std::uint32_t f) {
      for (std::uint32_t i = faces_.neighbourStart[f]; i < faces_.neighbourStart[f + 1]; ++i) {
        const std::uint32_t g = faces_.neighbours[i];
        if (charts_.chartOf[g] >= 0 || faces_.areas[g] <= 0.0 || dot(faces_.normals[g], faces_.normals[f]) < minimumCosine_ ||
            touchesBlocked(g)) {
          continue;
        }
        Triangle2 t{};
        if (!unfolded(g, t)) continue;
        const Vec2 c = centreOf(t);
        nearest.push({std::hypot(c.x - centre.x, c.y - centre.y), g});
      }
    };
    offerNeighbours(seed);
    while (!nearest.empty()) {
      const std::uint32_t g = nearest.top().second;
      nearest.pop();
      if (charts_.chartOf[g] >= 0 || touchesBlocked(g)) continue;
      Triangle2 t{};
      if (!unfolded(g, t)) continue;
      // Curved beyond the bound: the chart stops as it is (nearest first, a
      // disc about its seed); grown on around the fans it may not close, it
      // would spread as a web of cracks over a whole sphere.
      if (curvatureInside_ + curvatureClosedBy(g) > kUnfoldCurvature) break;
      if (!(cross2(t[0], t[1], t[2]) > 0.0) || !keepsShape(g, t)) {
        // The face would stretch or fold: the chart stops at its corners,
        // rather than growing around them.
        for (const std::uint32_t p : faces_.corners[g]) blockedIn_[p] = placedStamp_;
        continue;
      }
      if (flat != nullptr && flat->overlaps(t)) continue;
      join(g, t);
      offerNeighbours(g);
    }
  }

  // Per position, its faces of area (CSR); their curvature there is found
  // when first needed (curvatureAt).
  void findFacesAround() {
    aroundStart_.assign(faces_.positions.size() + 1, 0);
    for (std::uint32_t f = 0; f < faces_.corners.size(); ++f) {
      if (faces_.areas[f] > 0.0) {
        for (const std::uint32_t p : faces_.corners[f]) ++aroundStart_[p + 1];
      }
    }
    for (std::size_t p = 0; p < faces_.positions.size(); ++p) aroundStart_[p + 1] += aroundStart_[p];
    around_.resize(aroundStart_.back());
    std::vector<std::uint32_t> next(aroundStart_.begin(), aroundStart_.end() - 1);
    for (std::uint32_t f = 0; f < faces_.corners.size(); ++f) {
      if (faces_.areas[f] > 0.0) {
        for (const std::uint32_t p : faces_.corners[f]) around_[next[p]++] = f;
      }
    }
    curvature_.assign(faces_.positions.size(), NAN);
  }

  // How far the angles of the corners at position p fall short of a full
  // turn, where its faces close a fan around it (each side from p shared by
  // exactly two of them); 0 at an open or crowded fan. The surface's
  // curvature there: none on a tube or a cone.
  double curvatureAt(std::uint32_t p) {
    if (!std::isnan(curvature_[p])) return curvature_[p];
    double turn = 2 * 3.14159265358979323846;
    ends_.clear();
    for (std::uint32_t i = aroundStart_[p]; i < aroundStart_[p + 1]; ++i) {
      const auto& corners = faces_.corners[around_[i]];
      const std::size_t k = corners[0] == p ? 0 : corners[1] == p ? 1 : 2;
      const std::uint32_t q = corners[(k + 1) % 3], r = corners[(k + 2) % 3];
      const Vec3 u = faces_.positions[q] - faces_.positions[p], v = faces_.positions[r] - faces_.positions[p];
      turn -= std::atan2(length(cross(u, v)), dot(u, v));
      ends_.push_back(q), ends_.push_back(r);
    }
    std::sort(ends_.begin(), ends_.end());
    bool closed = !ends_.empty();
    for (std::size_t i = 0; closed && i < ends_.size(); i += 2) {
      closed = ends_[i] == ends_[i + 1] && (i + 2 == ends_.size() || ends_[i + 2] != ends_[i]);
    }
    return curvature_[p] = closed ? std::fabs(turn) : 0.0;
  }

  // The curvature at the corners that face g, joining, would close the fan
  // of (all their faces then in the chart).
  double curvatureClosedBy(std::uint32_t g) {
    double closed = 0;
    for (const std::uint32_t p : faces_.corners[g]) {
      const std::uint32_t joined = placedIn_[p] == placedStamp_ ? joinedFaces_[p] : 0;
      if (joined + 1 == aroundStart_[p + 1] - aroundStart_[p]) closed += curvatureAt(p);
    }
    return closed;
  }

  bool touchesBlocked(std::uint32_t g) const {
    const auto& corners = faces_.corners[g];
    return blockedIn_[corners[0]] == placedStamp_ || blockedIn_[corners[1]] == placedStamp_ ||
           blockedIn_[corners[2]] == placedStamp_;
  }

  static Vec2 centreOf(const Triangle2& t) { return {(t[0].x + t[1].x + t[2].x) / 3, (t[0].y + t[1].y + t[2].y) / 3}; }

  // Face g laid flat beside the chart: its placed corners where they are,
  // and a corner not yet placed turned into the plane about the side of the
  // other two. False when fewer than two corners are placed.
  bool unfolded(std::uint32_t g, Triangle2& t) const {
    std::size_t free = 3, placed = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      const std::uint32_t p = faces_.corners[g][k];
      if (placedIn_[p] == placedStamp_) {
        t[k] = placedAt_[p];
        ++placed;
      } else {
        free = k;
      }
    }
    if (placed == 3) return true;
    if (placed < 2) return false;
    const std::size_t ka = (free + 1) % 3, kb = (free + 2) % 3;
    const Vec3 a = faces_.positions[faces_.corners[g][ka]], b = faces_.positions[faces_.corners[g][kb]];
    const Vec3 c = faces_.positions[faces_.corners[g][free]];
    const Vec3 edge = b - a;
    const double edgeSquared = dot(edge, edge);
    if (!(edgeSquared > 0)) return false;
    const double along = dot(c - a, edge) / edgeSquared;
    const double away = length((c - a) - scaled(edge, along)) / std::sqrt(edgeSquared);
    // The corners a, b, c turn counter-clockwise: c lies left of a -> b.
    const Vec2 fa = t[ka], fb = t[kb];
    const Vec2 e{fb.x - fa.x, fb.y - fa.y};
    t[free] = {fa.x + along * e.x - away * e.y, fa.y + along * e.y + away * e.x};
    return true;
  }

  bool keepsShape(std::uint32_t g, const Triangle2& t) const {
    for (std::size_t k = 0; k < 3; ++k) {
      const Vec3 side = faces_.positions[faces_.corners[g][(k + 1) % 3]] - faces_.positions[faces_.corners[g][k]];
      const double flatLength = std::hypot(t[(k + 1) % 3].x - t[k].x, t[(k + 1) % 3].y - t[k].y);
      const double modelLength = length(side);
      if (!(std::fabs(flatLength - modelLength) <= kUnfoldStretch * modelLength)) return false;
    }
    return true;
  }

  // Lays the chart's faces flat on the plane of their mean normal instead,
  // when that shrinks the most tilted face less than the first face's plane
  // does and every face stays turned the chart's way and clear of the
  // others: the faces then keep more of their area.
  void relayOnMeanPlane(Vec3 mean, double cellSize, ChartPlane& plane) {
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
    plane.tangent = tangent, plane.bitangent = bitangent;
  }

  const Faces& faces_;
  double minimumCosine_;
  double expectedDensity_;   // texels per unit
  double smallestUnfolded_;  // model units squared; infinity: no chart is rolled out
  Charts& charts_;
  OutlineTest outline_;
  std::int32_t chart_ = 0;
  std::uint32_t first_ = 0;  // the chart's first face in charts_.faces
  Vec3 axis_{}, tangent_{}, bitangent_{}, origin_{};
  Vec3 normalSum_{};
  std::vector<Vec2> placedAt_;             // per position: where the chart being unfolded placed it
  std::vector<std::uint32_t> placedIn_;    // per position: the stamp of the unfolding that placed it
  std::vector<std::uint32_t> blockedIn_;   // per position: the stamp of the unfolding that stopped at it
  std::vector<std::uint32_t> joinedFaces_; // per position placed: its faces in the chart being rolled out
  std::vector<std::uint32_t> aroundStart_; // per position: its faces of area, CSR into around_
  std::vector<std::uint32_t> around_;
  std::vector<double> curvature_;          // per position: see curvatureAt; NaN until found
  std::vector<std::uint32_t> ends_;        // curvatureAt's scratch: the other corners of the faces around
  double curvatureInside_ = 0;             // of the positions whose fans the chart being rolled out closes
  std::uint32_t placedStamp_ = 0;
};

// Moves each face that juts out of its chart into the chart it juts into:
// a face joined to its own chart along one side and to another along two
// moves there where it lies in that chart's cone and, laid flat on its
// plane, turns its way and overlaps none of its faces (the charts stay as
// growing could have made them). Growing takes faces breadth first, so
// chart borders zigzag; each face moved trims a spike off one outline and
// fills a notch in the other, and the charts pack closer: over
// assimp-testmodels 0.0009 more of the square on average at 512 (64 models
// more, 29 less), 0.0017 at 256; a rock of ragged charts 0.711 to 0.718.
// Charts rolled out keep their faces, and a chart keeps its seed.
class OutlineSmoother {
 public:
  OutlineSmoother(const Faces& faces, Charts& charts, const std::vector<char>& rolledOut,
                  const std::vector<ChartPlane>& planes, double minimumCosine, double expectedDensity)
      : faces_(faces), charts_(charts), rolledOut_(rolledOut), planes_(planes), minimumCosine_(minimumCosine),
        shortestMoved_(expectedDensity > 0 ? kSmoothFromTexels / expectedDensity : INFINITY), flats_(planes.size()) {}

  void smooth() {
    for (std::size_t pass = 0; pass < kSmoothingPasses; ++pass) {
      const std::size_t movedBefore = movedIn_.size();
      for (std::uint32_t f = 0; f < faces_.corners.size(); ++f) {
        const std::int32_t from = charts_.chartOf[f];
        if (from < 0 || rolledOut_[static_cast<std::size_t>(from)] != 0 ||
            seedOf(charts_, static_cast<std::size_t>(from)) == f) {
          continue;
        }
        std::int32_t to = -1;
        std::size_t inFrom = 0, inTo = 0;
        for (std::uint32_t i = faces_.neighbourStart[f]; i < faces_.neighbourStart[f + 1]; ++i) {
          const std::int32_t c = charts_.chartOf[faces_.neighbours[i]];
          if (c == from) ++inFrom;
          else if (c >= 0 && (to < 0 || to == c)) to = c, ++inTo;
        }
        if (inFrom == 1 && inTo >= 2 && longestSide(f) >= shortestMoved_) moveWhereItFits(f, to);
      }
      if (movedIn_.size() == movedBefore) break;
    }
    regroup();
  }

 private:
  double longestSide(std::uint32_t f) const {
    const auto& corners = faces_.corners[f];
    double longest = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      longest = std::max(longest, length(faces_.positions[corners[(k + 1) % 3]] - faces_.positions[corners[k]]));
    }
    return longest;
  }

  void moveWhereItFits(std::uint32_t f, std::int32_t to) {
    const auto chart = static_cast<std::size_t>(to);
    const ChartPlane& plane = planes_[chart];
    if (rolledOut_[chart] != 0 || faces_.onCrowdedEdge[f] != 0 || dot(faces_.normals[f], plane.axis) < minimumCosine_) {
      return;
    }
    const Triangle2 t = laidOn(faces_, f, plane);
    if (!(cross2(t[0], t[1], t[2]) > 0.0)) return;
    std::unique_ptr<FlatChart>& flat = flats_[chart];
    if (!flat) {
      // Made when first needed. Faces that move out later stay: they only
      // keep others from moving in there.
      flat = std::make_unique<FlatChart>(plane.cellSize);
      for (std::uint32_t i = charts_.faceStart[chart]; i < charts_.faceStart[chart + 1]; ++i) {
        if (charts_.chartOf[charts_.faces[i]] == to) flat->add(charts_.flat[charts_.faces[i]]);
      }
      for (const auto& [c, g] : movedIn_) {
        if (c == to && charts_.chartOf[g] == to) flat->add(charts_.flat[g]);
      }
    }
    if (flat->overlaps(t)) return;
    flat->add(t);
    charts_.chartOf[f] = to;
    charts_.flat[f] = t;
    movedIn_.push_back({to, f});
  }

  // Each chart's faces: its own that stayed, in their order, then those
  // moved in, in the order moved.
  void regroup() {
    if (movedIn_.empty()) return;
    std::stable_sort(movedIn_.begin(), movedIn_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::uint32_t> faces, faceStart{0};
    faces.reserve(charts_.faces.size());
    std::vector<char> placed(faces_.corners.size(), 0);  // a face moved out and back is placed once
    const auto place = [&](std::uint32_t f, std::size_t c) {
      if (charts_.chartOf[f] == static_cast<std::int32_t>(c) && placed[f] == 0) placed[f] = 1, faces.push_back(f);
    };
    auto moved = movedIn_.begin();
    for (std::size_t c = 0; c + 1 < charts_.faceStart.size(); ++c) {
      for (std::uint32_t i = charts_.faceStart[c]; i < charts_.faceStart[c + 1]; ++i) place(charts_.faces[i], c);
      for (; moved != movedIn_.end() && moved->first == static_cast<std::int32_t>(c); ++moved) place(moved->second, c);
      faceStart.push_back(static_cast<std::uint32_t>(faces.size()));
    }
    charts_.faces = std::move(faces);
    charts_.faceStart = std::move(faceStart);
  }

  const Faces& faces_;
  Charts& charts_;
  const std::vector<char>& rolledOut_;
  const std::vector<ChartPlane>& planes_;
  double minimumCosine_;
  double shortestMoved_;  // model units
  std::vector<std::unique_ptr<FlatChart>> flats_;                // per chart, once needed
  std::vector<std::pair<std::int32_t, std::uint32_t>> movedIn_;  // (chart, face) in the order moved
};

}  // namespace

namespace {

// The charts grown from the seeds in turn; rolled out where that takes more
// of the surface, within `unfold` (an expected density of 0: none).
Charts growAll(const Faces& faces, const std::vector<std::uint32_t>& seeds, double minimumCosine,
               const UnfoldLimits& unfold, const std::function<void(double)>& progress, double progressFrom,
               std::vector<char>* rolledOut = nullptr) {
  const std::size_t count = faces.corners.size();
  Charts charts;
  charts.chartOf.assign(count, -1);
  charts.flat.resize(count);
  charts.faceStart.push_back(0);
  ChartGrower grower(faces, minimumCosine, unfold, charts);
  std::size_t assigned = 0;
  for (std::uint32_t seed : seeds) {
    if (charts.chartOf[seed] >= 0) continue;
    assigned += grower.grow(seed);
    if (progress && charts.faceStart.size() % 256 == 0) {
      progress(progressFrom + 0.3 * static_cast<double>(assigned) / static_cast<double>(count));
    }
  }
  OutlineSmoother(faces, charts, grower.rolledOut, grower.planes, minimumCosine, unfold.expectedDensity).smooth();
  if (rolledOut != nullptr) *rolledOut = std::move(grower.rolledOut);
  return charts;
}

// Per face, its piece of the surface: the faces reached across shared edges.
std::vector<std::uint32_t> piecesOf(const Faces& faces) {
  std::vector<std::uint32_t> piece(faces.corners.size(), UINT32_MAX), stack;
  std::uint32_t pieces = 0;
  for (std::uint32_t start = 0; start < piece.size(); ++start) {
    if (piece[start] != UINT32_MAX) continue;
    piece[start] = pieces;
    stack.push_back(start);
    while (!stack.empty()) {
      const std::uint32_t f = stack.back();
      stack.pop_back();
      for (std::uint32_t i = faces.neighbourStart[f]; i < faces.neighbourStart[f + 1]; ++i) {
        const std::uint32_t g = faces.neighbours[i];
        if (piece[g] == UINT32_MAX) piece[g] = pieces, stack.push_back(g);
      }
    }
    ++pieces;
  }
  return piece;
}

// The charts of each piece of the surface from `unfolded` where `rolledIn`
// says so, from `projected` elsewhere, in the order their seeds were grown.
Charts chartsOfPieces(const Faces& faces, const std::vector<std::uint32_t>& seeds,
                      const std::vector<std::uint32_t>& piece, const std::vector<char>& rolledIn,
                      const Charts& projected, const Charts& unfolded) {
  std::vector<std::uint32_t> rank(faces.corners.size(), 0);
  for (std::size_t i = 0; i < seeds.size(); ++i) rank[seeds[i]] = static_cast<std::uint32_t>(i);
  struct Chosen {
    std::uint32_t seedRank;
    const Charts* from;
    std::uint32_t chart;
  };
  std::vector<Chosen> chosen;
  for (const Charts* from : {&projected, &unfolded}) {
    for (std::size_t c = 0; c + 1 < from->faceStart.size(); ++c) {
      const std::uint32_t seed = seedOf(*from, c);
      if ((rolledIn[piece[seed]] != 0) == (from == &unfolded)) chosen.push_back({rank[seed], from, static_cast<std::uint32_t>(c)});
    }
  }
  std::sort(chosen.begin(), chosen.end(), [](const Chosen& a, const Chosen& b) { return a.seedRank < b.seedRank; });
  Charts charts;
  charts.chartOf.assign(faces.corners.size(), -1);
  charts.flat.resize(faces.corners.size());
  charts.faceStart.push_back(0);
  for (const Chosen& c : chosen) {
    for (std::uint32_t i = c.from->faceStart[c.chart]; i < c.from->faceStart[c.chart + 1]; ++i) {
      const std::uint32_t f = c.from->faces[i];
      charts.chartOf[f] = static_cast<std::int32_t>(charts.faceStart.size() - 1);
      charts.flat[f] = c.from->flat[f];
      charts.faces.push_back(f);
    }
    charts.faceStart.push_back(static_cast<std::uint32_t>(charts.faces.size()));
  }
  return charts;
}

// Per piece, whether it keeps its charts rolled out: where they are fewer
// than laid flat on planes. `projected` holds the charts of the pieces
// `regrown` only; the others' charts are the same either way, those in
// `unfolded`.
std::vector<char> fewerRolledOut(const std::vector<std::uint32_t>& piece, const std::vector<char>& regrown,
                                 const Charts& projected, const Charts& unfolded) {
  std::vector<std::int64_t> unfoldedFewer(regrown.size(), 0);  // projected charts less unfolded ones
  for (std::size_t c = 0; c + 1 < projected.faceStart.size(); ++c) ++unfoldedFewer[piece[seedOf(projected, c)]];
  for (std::size_t c = 0; c + 1 < unfolded.faceStart.size(); ++c) --unfoldedFewer[piece[seedOf(unfolded, c)]];
  std::vector<char> rolledIn(regrown.size(), 1);
  for (std::size_t p = 0; p < regrown.size(); ++p) {
    if (regrown[p] != 0) rolledIn[p] = unfoldedFewer[p] > 0 ? 1 : 0;
  }
  return rolledIn;
}

}  // namespace

Charts growCharts(const Faces& faces, double maxChartAngle, const UnfoldLimits& unfold,
                  const std::function<void(double)>& progress, std::size_t threads, Charts* laidFlat) {
  const std::size_t count = faces.corners.size();
  // Largest faces first: a chart grows from a face that matters. Sorted
  // with their areas beside them (looking each up costs more than the sort).
  std::vector<std::pair<double, std::uint32_t>> byArea;
  for (std::uint32_t f = 0; f < count; ++f) {
    if (faces.areas[f] > 0.0) byArea.push_back({faces.areas[f], f});
  }
  sortInParallel(byArea.begin(), byArea.end(), threads, [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  std::vector<std::uint32_t> seeds(byArea.size());
  for (std::size_t i = 0; i < byArea.size(); ++i) seeds[i] = byArea[i].second;
  const double minimumCosine = std::cos(maxChartAngle * 3.14159265358979323846 / 180.0);
  std::vector<char> rolled;
  Charts unfolded = growAll(faces, seeds, minimumCosine, unfold, progress, 0.0, &rolled);
  // A piece with no chart rolled out has the charts it would have laid flat
  // on planes (the same seeds in the same order): only the others are grown
  // again that way, to compare.
  const std::vector<std::uint32_t> piece = piecesOf(faces);
  std::vector<char> regrown(piece.empty() ? 0 : *std::max_element(piece.begin(), piece.end()) + 1, 0);
  for (std::size_t c = 0; c < rolled.size(); ++c) {
    if (rolled[c] != 0) regrown[piece[seedOf(unfolded, c)]] = 1;
  }
  if (std::find(regrown.begin(), regrown.end(), 1) == regrown.end()) return unfolded;
  std::vector<std::uint32_t> seedsAgain;
  for (const std::uint32_t seed : seeds) {
    if (regrown[piece[seed]] != 0) seedsAgain.push_back(seed);
  }
  const Charts projected =
      growAll(faces, seedsAgain, minimumCosine, UnfoldLimits{unfold.expectedDensity, false}, progress, 0.3);
  const std::vector<char> rolledIn = fewerRolledOut(piece, regrown, projected, unfolded);
  // All laid flat: `unfolded` holds those of the pieces not grown again.
  bool anyRolledOut = false;
  std::vector<char> flatIn(regrown.size());
  for (std::size_t p = 0; p < regrown.size(); ++p) {
    anyRolledOut = anyRolledOut || (regrown[p] != 0 && rolledIn[p] != 0);
    flatIn[p] = regrown[p] == 0 ? 1 : 0;
  }
  if (laidFlat != nullptr && anyRolledOut) *laidFlat = chartsOfPieces(faces, seeds, piece, flatIn, projected, unfolded);
  return chartsOfPieces(faces, seeds, piece, rolledIn, projected, unfolded);
}

}  // namespace lumivex::uv
