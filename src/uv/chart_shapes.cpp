#include "uv/chart_shapes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "math/processor_count.h"

namespace lumivex::uv {

namespace {

// Charts shorter than this are not tilted: their faces are short as well, and
// a tilt of two texels would take a large share of their room.
constexpr double kTiltFromTexels = 32.0;

// Pieces are not cut below this many paddings (plus a texel) across at the
// expected density. Smaller pieces pack a little denser (0.696 of the
// square with 8, 0.697 with 4, against 0.691) for two and a half and four
// times the charts added: a seam each, for little.
constexpr double kHollowAcrossPaddings = 16.0;

// Cuts in a row: each halves a piece's area, so 16 leave pieces of 1/65536
// of a chart, far below a few paddings across; the bound keeps the recursion
// shallow when one face of a chart holds nearly all of its area.
constexpr int kMostHollowCuts = 16;

// Drops the points well inside the polygon of the extreme points in eight
// directions: they cannot be on the hull, and in a chart of many faces they
// are nearly all of them. "Well inside": by more than a rounding error
// (1e-12 of the chart's size), so that no hull point is lost.
void dropInnerPoints(std::vector<Vec2>& points) {
  if (points.size() < 64) return;
  // The first point least in each of eight keys, all in one pass: up, a
  // diagonal, left, ... round the compass.
  const auto keys = [](Vec2 p) {
    return std::array<double, 8>{p.y, p.y - p.x, -p.x, -p.x - p.y, -p.y, p.x - p.y, p.x, p.x + p.y};
  };
  std::array<Vec2, 8> around;
  around.fill(points.front());
  std::array<double, 8> least = keys(points.front());
  for (const Vec2& p : points) {
    const std::array<double, 8> key = keys(p);
    for (std::size_t k = 0; k < 8; ++k) {
      if (key[k] < least[k]) least[k] = key[k], around[k] = p;
    }
  }
  const double scale = std::fabs(around[6].x) + std::fabs(around[2].x) + std::fabs(around[0].y) +
                       std::fabs(around[4].y) + (around[2].x - around[6].x) + (around[4].y - around[0].y);
  const double margin = 1e-12 * scale * scale;
  std::erase_if(points, [&](Vec2 p) {
    for (std::size_t k = 0; k < around.size(); ++k) {
      if (!(cross2(around[k], around[(k + 1) % around.size()], p) > margin)) return false;
    }
    return true;
  });
}

// Twice a face's area as laid flat.
double twiceFlatArea(const Triangle2& t) { return std::abs(cross2(t[0], t[1], t[2])); }

// Twice the area of the faces as laid flat.
double twiceFlatAreaOf(const Charts& charts, std::span<const std::uint32_t> faces) {
  double area = 0;
  for (const std::uint32_t f : faces) area += twiceFlatArea(charts.flat[f]);
  return area;
}

}  // namespace

std::vector<Vec2> convexHull(std::vector<Vec2> points) {
  dropInnerPoints(points);
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

double doubledArea(const std::vector<Vec2>& polygon) {
  double area = 0;
  for (std::size_t i = 0; i < polygon.size(); ++i) {
    const Vec2 a = polygon[i], b = polygon[(i + 1) % polygon.size()];
    area += a.x * b.y - a.y * b.x;
  }
  return area;
}

double longThinLength(const Triangle2& t, double density) {
  // Most faces are far shorter: their squared sides settle it without a
  // square root (0.999: far beyond their rounding, a few parts in 1e16).
  double longestSquared = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    const double dx = t[(k + 1) % 3].x - t[k].x, dy = t[(k + 1) % 3].y - t[k].y;
    longestSquared = std::max(longestSquared, dx * dx + dy * dy);
  }
  if (longestSquared * density * density < 0.999 * kLongThinTexels * kLongThinTexels) return INFINITY;
  double longest = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    longest = std::max(longest, std::hypot(t[(k + 1) % 3].x - t[k].x, t[(k + 1) % 3].y - t[k].y));
  }
  const double across = longest > 0 ? twiceFlatArea(t) / longest : 0;
  return across * density < 1.0 && longest * density >= kLongThinTexels ? longest : INFINITY;
}

namespace {

// The length of the shortest long thin face of the chart (see
// longThinLength), or infinity where there is none.
double shortestLongThinFace(const Charts& charts, std::size_t chart, double density) {
  double shortest = INFINITY;
  for (std::uint32_t i = charts.faceStart[chart]; i < charts.faceStart[chart + 1]; ++i) {
    shortest = std::min(shortest, longThinLength(charts.flat[charts.faces[i]], density));
  }
  return shortest;
}

bool hasLongThinFaces(const Charts& charts, std::size_t chart, double density) {
  return std::isfinite(shortestLongThinFace(charts, chart, density));
}

// The rectangle around the points turned by the angle of cosine c, sine s.
ChartShape rectangleAt(const std::vector<Vec2>& points, double c, double s) {
  double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  for (const Vec2& p : points) {
    const double x = c * p.x + s * p.y, y = -s * p.x + c * p.y;
    x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
  }
  return {x1 - x0, y1 - y0, c, s, x0, y0, false};
}

// The turn of the smallest rectangle around the hull (`squareOnly`: the
// rectangle with the shortest longer side), not yet swapped to lie wide;
// `unturned()` (the points' rectangle as they lie) where the hull has no edge.
template <typename Unturned>
ChartShape smallestRectangle(const std::vector<Vec2>& hull, bool squareOnly, Unturned&& unturned) {
  ChartShape best;
  double bestArea = INFINITY;
  auto tryTurn = [&](double c, double s) {
    const ChartShape turned = rectangleAt(hull, c, s);
    const double area = squareOnly ? std::max(turned.width, turned.height) : turned.width * turned.height;
    if (area < bestArea * (1 - 1e-12)) {
      bestArea = area;
      best = turned;
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
  if (!std::isfinite(bestArea)) best = unturned();  // fewer than three hull points: no turn
  return best;
}

// The shape turned a further quarter where needed so that width >= height.
ChartShape lyingWide(ChartShape shape) {
  if (shape.height > shape.width) {
    std::swap(shape.width, shape.height);
    shape.swapped = true;
  }
  return shape;
}

std::vector<Vec2> cornersOf(const Charts& charts, std::span<const std::uint32_t> faces) {
  std::vector<Vec2> points;
  points.reserve(3 * faces.size());
  for (const std::uint32_t f : faces) {
    for (const Vec2& p : charts.flat[f]) points.push_back(p);
  }
  return points;
}

std::span<const std::uint32_t> facesOf(const Charts& charts, std::size_t chart) {
  return {charts.faces.data() + charts.faceStart[chart], charts.faceStart[chart + 1] - charts.faceStart[chart]};
}

}  // namespace

std::vector<Vec2> hullOf(const Charts& charts, std::size_t chart) {
  if (chart < charts.hulls.size() && !charts.hulls[chart].empty()) return charts.hulls[chart];
  return convexHull(cornersOf(charts, facesOf(charts, chart)));
}

void findHulls(Charts& charts, std::size_t threads) {
  const std::size_t count = charts.faceStart.size() - 1;
  charts.hulls.resize(count);
  forEachInParallel(count, threads, [&](std::size_t c) {
    if (charts.hulls[c].empty()) charts.hulls[c] = hullOf(charts, c);
  });
}

bool mayClimb(const Charts& charts, std::size_t chart, const ChartShape& smallest, bool squareOnly, double density) {
  return !squareOnly && std::max(smallest.width, smallest.height) * density >= kTiltFromTexels &&
         hasLongThinFaces(charts, chart, density);
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
ChartShape shapeOf(const Charts& charts, std::size_t chart, bool squareOnly, double tiltDensity, bool thinFacesClimb) {
  const std::vector<Vec2> hull = hullOf(charts, chart);
  ChartShape best = smallestRectangle(hull, squareOnly, [&] { return rectangleAt(cornersOf(charts, facesOf(charts, chart)), 1, 0); });
  const double thinFace = thinFacesClimb && !squareOnly ? shortestLongThinFace(charts, chart, tiltDensity) : INFINITY;
  if (hull.size() >= 3 && (std::isfinite(thinFace) || mayClimb(charts, chart, best, squareOnly, tiltDensity))) {
    double tilt = 2.0 / (std::max(best.width, best.height) * tiltDensity);
    if (std::isfinite(thinFace)) tilt = std::max(tilt, 1.0 / (thinFace * tiltDensity));
    const double c = std::cos(tilt), s = std::sin(tilt);
    const double cosine = best.cosine * c - best.sine * s, sine = best.sine * c + best.cosine * s;
    best = rectangleAt(hull, cosine, sine);
    best.climbs = true;
  }
  return lyingWide(best);
}

// A chart point in its rectangle: x in [0, width], y in [0, height].
Vec2 inRectangle(const ChartShape& shape, Vec2 p) {
  const double x = shape.cosine * p.x + shape.sine * p.y - shape.minX;
  const double y = -shape.sine * p.x + shape.cosine * p.y - shape.minY;
  return shape.swapped ? Vec2{shape.width - y, x} : Vec2{x, y};
}

namespace {

// The faces split in two across the length of their smallest rectangle, at
// half their area (each half keeping the faces' order).
std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>> halves(const Charts& charts,
                                                                         const std::vector<std::uint32_t>& faces,
                                                                         const std::vector<Vec2>& hull, double area) {
  const ChartShape shape =
      lyingWide(smallestRectangle(hull, false, [&] { return rectangleAt(cornersOf(charts, faces), 1, 0); }));
  // Each face's place along the length, and its index among the faces.
  std::vector<std::pair<double, std::size_t>> along(faces.size());
  for (std::size_t i = 0; i < faces.size(); ++i) {
    const Triangle2& t = charts.flat[faces[i]];
    along[i] = {inRectangle(shape, {(t[0].x + t[1].x + t[2].x) / 3, (t[0].y + t[1].y + t[2].y) / 3}).x, i};
  }
  std::sort(along.begin(), along.end());
  std::vector<char> inFirst(faces.size(), 0);
  double firstArea = 0;
  for (std::size_t i = 0; i + 1 < along.size() && firstArea < area / 2; ++i) {
    const Triangle2& t = charts.flat[faces[along[i].second]];
    firstArea += twiceFlatArea(t);
    inFirst[along[i].second] = 1;
  }
  std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>> split;
  for (std::size_t i = 0; i < faces.size(); ++i) (inFirst[i] != 0 ? split.first : split.second).push_back(faces[i]);
  return split;
}

// Appends the faces as one chart (with its hull, `hull` when given), or,
// where they fill under `hollowFill` of their hull and their hull is at least
// `smallestHull` (squared model units), as their two halves, each cut again
// in turn.
void appendCutWhileHollow(const Charts& charts, std::vector<std::uint32_t> faces, std::vector<Vec2> hull,
                          double smallestHull, double hollowFill, int cutsLeft, Charts& out) {
  if (hull.empty()) hull = convexHull(cornersOf(charts, faces));
  const double hullArea = doubledArea(hull);
  const double area = twiceFlatAreaOf(charts, faces);
  if (faces.size() < 2 || cutsLeft == 0 || !(area > 0) || !(hullArea >= 2 * smallestHull) ||
      area >= hollowFill * hullArea) {
    out.faces.insert(out.faces.end(), faces.begin(), faces.end());
    out.faceStart.push_back(static_cast<std::uint32_t>(out.faces.size()));
    out.hulls.push_back(std::move(hull));
    return;
  }
  auto [first, second] = halves(charts, faces, hull, area);
  appendCutWhileHollow(charts, std::move(first), {}, smallestHull, hollowFill, cutsLeft - 1, out);
  appendCutWhileHollow(charts, std::move(second), {}, smallestHull, hollowFill, cutsLeft - 1, out);
}

// The regrouped charts' faces, with `from`'s faces laid flat and each face's
// chart renumbered.
Charts withChartsOf(Charts regrouped, Charts from) {
  regrouped.chartOf = std::move(from.chartOf);
  regrouped.flat = std::move(from.flat);
  for (std::size_t c = 0; c + 1 < regrouped.faceStart.size(); ++c) {
    for (std::uint32_t i = regrouped.faceStart[c]; i < regrouped.faceStart[c + 1]; ++i) {
      regrouped.chartOf[regrouped.faces[i]] = static_cast<std::int32_t>(c);
    }
  }
  return regrouped;
}

}  // namespace

// A ring, an arc or a bent leg leaves most of its hull empty, and the packing
// fills little of that room with other charts: such a chart is cut in two,
// and each half again, until the pieces fill their hulls or are a few
// paddings across at the expected density.
Charts splitHollowCharts(const Charts& charts, double expectedDensity, std::int32_t padding, double hollowFill) {
  const double across = kHollowAcrossPaddings * (padding + 1) / expectedDensity;
  Charts split;
  split.faceStart.push_back(0);
  for (std::size_t c = 0; c + 1 < charts.faceStart.size(); ++c) {
    appendCutWhileHollow(charts,
                         std::vector<std::uint32_t>(charts.faces.begin() + charts.faceStart[c],
                                                    charts.faces.begin() + charts.faceStart[c + 1]),
                         hullOf(charts, c), across * across, hollowFill, kMostHollowCuts, split);
  }
  if (split.faceStart.size() == charts.faceStart.size()) return {};
  return withChartsOf(std::move(split), charts);
}

// Pieces are cut in halves by area, so two side by side across an earlier
// cut (of one chart, one after the other in `cut`) may fill their hull
// together: those are joined again, in order, while they do.
Charts rejoinFilledNeighbours(const Charts& grown, const Charts& cut, double hollowFill) {
  std::vector<std::uint32_t> faceStart{0};
  std::vector<std::vector<Vec2>> hulls;
  bool joined = false;
  for (std::size_t p = 0; p + 1 < cut.faceStart.size(); ++p) {
    const std::uint32_t end = cut.faceStart[p + 1];
    if (p > 0) {
      const std::uint32_t from = faceStart[faceStart.size() - 2];  // the piece joined so far
      if (grown.chartOf[cut.faces[from]] == grown.chartOf[cut.faces[cut.faceStart[p]]]) {
        const std::span<const std::uint32_t> both(cut.faces.data() + from, end - from);
        std::vector<Vec2> hull = convexHull(cornersOf(cut, both));
        if (twiceFlatAreaOf(cut, both) >= hollowFill * doubledArea(hull)) {
          faceStart.back() = end, hulls.back() = std::move(hull), joined = true;
          continue;
        }
      }
    }
    faceStart.push_back(end);
    hulls.push_back(cut.hulls[p]);
  }
  if (!joined) return {};
  Charts regrouped;
  regrouped.faces = cut.faces;
  regrouped.faceStart = std::move(faceStart);
  regrouped.hulls = std::move(hulls);
  return withChartsOf(std::move(regrouped), cut);
}

// A chart far longer than wide leaves most of a square empty however it is
// packed: it is cut across its length into pieces about as long as the
// pieces stacked are wide. Each piece is part of a sound chart, so sound.
// Charts narrower than a few times the padding stay whole: as pieces, the
// padding around each would take more room than the cut saves.
Charts splitLongCharts(Charts charts, double expectedDensity, std::int32_t padding, bool onlyWhereShorter) {
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
      split.hulls.push_back(c < charts.hulls.size() ? std::move(charts.hulls[c]) : std::vector<Vec2>{});
      continue;
    }
    std::vector<std::vector<std::uint32_t>> byPiece(pieces);
    std::vector<double> from(pieces, INFINITY), to(pieces, -INFINITY);  // each piece's reach along the length
    for (std::uint32_t i = begin; i < end; ++i) {
      const std::uint32_t f = charts.faces[i];
      const Triangle2& t = charts.flat[f];
      const Vec2 centre = inRectangle(shape, {(t[0].x + t[1].x + t[2].x) / 3, (t[0].y + t[1].y + t[2].y) / 3});
      const auto piece = static_cast<std::size_t>(std::clamp(centre.x / shape.width * pieces, 0.0, pieces - 1.0));
      byPiece[piece].push_back(f);
      for (std::size_t k = 0; onlyWhereShorter && k < 3; ++k) {
        const double x = inRectangle(shape, t[k]).x;
        from[piece] = std::min(from[piece], x), to[piece] = std::max(to[piece], x);
      }
    }
    // Where a piece still reaches over half the length (faces as long as
    // the chart: a long quad's two triangles), the cut shortens nothing; it
    // adds a seam and padding, and pays only where the narrower pieces pack
    // closer (the wedges of a fan, head to tail).
    bool shortens = true;
    for (std::size_t piece = 0; piece < pieces; ++piece) {
      shortens = shortens && !(to[piece] - from[piece] > shape.width / 2);
    }
    if (onlyWhereShorter && !shortens) {
      byPiece = {std::vector<std::uint32_t>(charts.faces.begin() + begin, charts.faces.begin() + end)};
    }
    for (const auto& faces : byPiece) {
      if (faces.empty()) continue;
      split.faces.insert(split.faces.end(), faces.begin(), faces.end());
      split.faceStart.push_back(static_cast<std::uint32_t>(split.faces.size()));
      split.hulls.emplace_back();  // found when needed
    }
  }
  return withChartsOf(std::move(split), std::move(charts));
}

}  // namespace lumivex::uv
