// Generated lightmap layouts, stage by stage: the faces welded by position,
// grown into charts, each chart turned to its smallest rectangle and cut if
// far longer than wide, the charts packed by their shapes at the largest
// density that fits, small faces given texel corners, and the lightmap points
// handed back per mesh.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <numeric>

#include <lumivex/layout.h>

#include "api/guarded.h"
#include "layout/texel_corners.h"
#include "math/processor_count.h"
#include "sampling/mesh_arrays.h"
#include "uv/chart_shapes.h"
#include "uv/faces.h"
#include "uv/packing.h"
#include "uv/small_charts.h"
#include "uv/texel_snapping.h"

namespace lumivex {

namespace uv {

namespace {

// Thrown through the stages when the caller cancels; caught at the entry.
struct Stopped {};

// The caller's progress callback and cancel flag, seen by the stages as one
// progress function that stops the work by throwing Stopped.
std::function<void(double)> progressFor(const LayoutOptions& options) {
  return [&options](double fraction) {
    if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) throw Stopped{};
    if (options.progress && !calledBack([&] { options.progress(fraction); })) throw Stopped{};
  };
}

Result checkOptions(const LayoutOptions& options) {
  const auto invalid = [](const char* problem) { return Result{Status::InvalidArgument, problem}; };
  if (options.size < kSmallestSize || options.size > kLargestSize) return invalid("size: outside 1 to 16384");
  if (options.padding < 0 || options.padding > 64) return invalid("padding: outside 0 to 64");
  if (!(options.texelsPerUnit >= 0) || !std::isfinite(options.texelsPerUnit)) {
    return invalid("texelsPerUnit: not 0 or a positive density");
  }
  if (!(options.maxChartAngle >= 1 && options.maxChartAngle <= 90)) return invalid("maxChartAngle: outside 1 to 90");
  return {};
}

// The charts and their shapes, as the packing sees them.
struct ChartSet {
  Charts charts;
  std::vector<ChartShape> shapes;
  // Per chart, its faces' corners in its rectangle, in model units.
  std::vector<std::vector<Triangle2>> inRectangle;
  // Per chart, a multiple of the layout's density: above 1 for the charts of
  // meshes whose faces would otherwise mostly go unsampled.
  std::vector<double> scale;
  // The small charts joined to others: a mesh whose density is raised has
  // them apart again.
  JoinedCharts joined;
  std::size_t threads = 1;

  std::size_t count() const { return shapes.size(); }

  // Per chart, the sides of its outline (3 x its face + the corner the side
  // leaves) when its cells are made from them; empty when from its faces.
  std::vector<std::vector<std::uint32_t>> outline;

  // A chart's face corners in texels from its cell's origin, at density
  // `at`. A chart under two texels across is moved by less than a texel so
  // that the centre of its first (largest) face lies on a texel corner: the
  // sampler then samples that face there, however the corners round.
  std::vector<Triangle2> localTexels(std::size_t c, double layoutDensity) const {
    const std::vector<Triangle2>& laid = inRectangle[c];
    const TexelMap map = texelMap(c, layoutDensity);
    std::vector<Triangle2> local(laid.size());
    for (std::size_t i = 0; i < laid.size(); ++i) {
      for (std::size_t k = 0; k < 3; ++k) local[i][k] = map(laid[i][k]);
    }
    return local;
  }

  // The sides of the chart's outline in texels, as localTexels has them.
  std::vector<std::array<Vec2, 2>> outlineTexels(std::size_t c, double layoutDensity) const {
    const std::vector<Triangle2>& laid = inRectangle[c];
    const TexelMap map = texelMap(c, layoutDensity);
    std::vector<std::array<Vec2, 2>> sides;
    sides.reserve(outline[c].size());
    for (std::uint32_t side : outline[c]) {
      const Triangle2& t = laid[side / 3];
      sides.push_back({map(t[side % 3]), map(t[(side % 3 + 1) % 3])});
    }
    return sides;
  }

  // The cells of chart c at density `at`.
  CellImage cells(std::size_t c, double layoutDensity) const {
    return outline[c].empty() ? cellsOf(localTexels(c, layoutDensity))
                              : outlineCellsOf(outlineTexels(c, layoutDensity));
  }

 private:
  struct TexelMap {
    double at, shiftX, shiftY;
    Vec2 operator()(Vec2 p) const { return {std::max(shiftX + p.x * at, 0.0), std::max(shiftY + p.y * at, 0.0)}; }
  };
  TexelMap texelMap(std::size_t c, double layoutDensity) const {
    const std::vector<Triangle2>& laid = inRectangle[c];
    const double at = layoutDensity * scale[c];
    double shiftX = 0, shiftY = 0;
    if (isTiny(shapes[c], at)) {
      const Triangle2& first = laid.front();
      const Vec2 anchor = {(first[0].x + first[1].x + first[2].x) / 3, (first[0].y + first[1].y + first[2].y) / 3};
      shiftX = std::ceil(anchor.x * at) - anchor.x * at;
      shiftY = std::ceil(anchor.y * at) - anchor.y * at;
    }
    return {at, shiftX, shiftY};
  }
};

// The sides of chart c that no other face of it shares, end to end the same
// (3 x its face + corner); empty when they are not under half its sides:
// then its faces are as quick.
std::vector<std::uint32_t> outlineOf(const Faces& faces, const Charts& charts, std::size_t c) {
  const std::uint32_t begin = charts.faceStart[c], end = charts.faceStart[c + 1];
  const auto sharedSide = [&](std::uint32_t f, std::uint32_t k) {
    const std::uint32_t p = faces.corners[f][k], q = faces.corners[f][(k + 1) % 3];
    for (std::uint32_t n = faces.neighbourStart[f]; n < faces.neighbourStart[f + 1]; ++n) {
      const std::uint32_t g = faces.neighbours[n];
      if (charts.chartOf[g] != charts.chartOf[f]) continue;
      for (std::uint32_t j = 0; j < 3; ++j) {
        if (faces.corners[g][j] != q || faces.corners[g][(j + 1) % 3] != p) continue;
        const Triangle2 &t = charts.flat[f], &u = charts.flat[g];
        if (std::memcmp(&t[k], &u[(j + 1) % 3], sizeof(Vec2)) == 0 &&
            std::memcmp(&t[(k + 1) % 3], &u[j], sizeof(Vec2)) == 0) {
          return true;
        }
      }
    }
    return false;
  };
  std::vector<std::uint32_t> outline;
  for (std::uint32_t i = begin; i < end; ++i) {
    for (std::uint32_t k = 0; k < 3; ++k) {
      if (!sharedSide(charts.faces[i], k)) outline.push_back(3 * (i - begin) + k);
    }
  }
  if (2 * outline.size() >= 3 * std::size_t{end - begin}) outline.clear();
  return outline;
}

// Turns chart c to its rectangle, judging long thin faces at `tiltDensity`
// (each made to climb a texel with `thinFacesClimb`, as shapeOf does), and
// lays its faces' corners in it.
void shapeChart(ChartSet& set, std::size_t c, double tiltDensity, bool thinFacesClimb = false) {
  set.shapes[c] = shapeOf(set.charts, c, set.count() == 1, tiltDensity, thinFacesClimb);
  std::vector<Triangle2>& laid = set.inRectangle[c];
  laid.clear();
  for (std::uint32_t i = set.charts.faceStart[c]; i < set.charts.faceStart[c + 1]; ++i) {
    Triangle2& t = laid.emplace_back();
    for (std::size_t k = 0; k < 3; ++k) t[k] = inRectangle(set.shapes[c], set.charts.flat[set.charts.faces[i]][k]);
  }
}

// The density at which the charts would cover half the square, to judge
// their sizes by before they are packed.
double expectedDensityOf(const Faces& faces, const LayoutOptions& options) {
  const double surface = std::accumulate(faces.areas.begin(), faces.areas.end(), 0.0);
  return surface > 0 ? options.size * std::sqrt(0.5 / surface) : 1.0;
}

// Per chart of `set`, the chart of `like` with the same faces in the same
// order, or -1.
std::vector<std::int32_t> sameCharts(const ChartSet& set, const ChartSet& like) {
  std::vector<std::int32_t> same(set.count(), -1);
  for (std::size_t c = 0; c < set.count(); ++c) {
    const std::uint32_t begin = set.charts.faceStart[c], end = set.charts.faceStart[c + 1];
    const std::int32_t other = like.charts.chartOf[set.charts.faces[begin]];
    if (other < 0) continue;
    const auto o = static_cast<std::size_t>(other);
    const std::uint32_t otherBegin = like.charts.faceStart[o], otherEnd = like.charts.faceStart[o + 1];
    if (end - begin == otherEnd - otherBegin &&
        std::equal(set.charts.faces.begin() + begin, set.charts.faces.begin() + end,
                   like.charts.faces.begin() + otherBegin)) {
      same[c] = other;
    }
  }
  return same;
}

// The charts (already cut where far longer than wide) shaped; a chart of
// `like` (when given) with the same faces lends its shape.
ChartSet makeCharts(const Faces& faces, Charts charts, double expectedDensity, const LayoutOptions& options,
                    const ChartSet* like = nullptr) {
  ChartSet set;
  set.threads = threadsFor(options.threads);
  set.charts = std::move(charts);
  findHulls(set.charts, set.threads);
  const std::size_t count = set.charts.faceStart.size() - 1;
  set.shapes.resize(count);
  set.inRectangle.resize(count);
  set.scale.assign(count, 1.0);
  set.outline.resize(count);
  const std::vector<std::int32_t> same = like != nullptr ? sameCharts(set, *like) : std::vector<std::int32_t>(count, -1);
  forEachInParallel(count, set.threads, [&](std::size_t c) {
    if (same[c] < 0) {
      shapeChart(set, c, expectedDensity);
      set.outline[c] = outlineOf(faces, set.charts, c);
      return;
    }
    set.shapes[c] = like->shapes[static_cast<std::size_t>(same[c])];
    set.inRectangle[c] = like->inRectangle[static_cast<std::size_t>(same[c])];
    set.outline[c] = like->outline[static_cast<std::size_t>(same[c])];
  });
  return set;
}

// Shapes the charts again for the density found, where a long chart with
// faces under a texel across there was not turned to climb across the rows
// (the density expected at first was higher); true when any was.
bool reshapeForDensity(ChartSet& set, double density) {
  std::vector<char> changed(set.count(), 0);
  forEachInParallel(set.count(), set.threads, [&](std::size_t c) {
    const double at = density * set.scale[c];
    const bool alone = set.count() == 1;
    if (set.shapes[c].climbs || !mayClimb(set.charts, c, set.shapes[c], alone, at)) return;
    if (!shapeOf(set.charts, c, alone, at).climbs) return;
    shapeChart(set, c, at);
    changed[c] = 1;
  });
  return std::any_of(changed.begin(), changed.end(), [](char c) { return c != 0; });
}

// The density at which the charts' rectangles pack, from the density at
// which they alone would fill the square: an estimate to start from.
double rectangleDensity(const ChartSet& set, const LayoutOptions& options,
                        const std::function<void(double)>& progress) {
  std::vector<ChartShape> shapes = set.shapes;  // at each chart's own multiple of the density
  double rectangles = 0;
  for (std::size_t c = 0; c < shapes.size(); ++c) {
    shapes[c].width *= set.scale[c];
    shapes[c].height *= set.scale[c];
    rectangles += shapes[c].width * shapes[c].height;
  }
  std::vector<std::uint32_t> order(set.count());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    if (shapes[a].height != shapes[b].height) return shapes[a].height > shapes[b].height;
    if (shapes[a].width != shapes[b].width) return shapes[a].width > shapes[b].width;
    return a < b;
  });
  std::vector<Placement> trial;
  const double free = static_cast<double>(options.size - options.padding);
  return largestFittingDensity(
      rectangles > 0 ? free / std::sqrt(rectangles) : 1.0, 0.5, 0.0, 1.002,
      [&](double at) { return pack(shapes, order, at, options.size, options.padding, trial); },
      [&](int step) { progress(0.6 + 0.15 * std::min(step, 30) / 30.0); });
}

// The cells the kept layouts take, rasterised as the charts' are.
Atlas keptCells(std::span<const SampledMesh> kept, std::int32_t size, std::size_t& takenCells) {
  Atlas taken(size);
  takenCells = 0;
  const float s = static_cast<float>(size);
  for (const SampledMesh& mesh : kept) {
    for (std::size_t t = 0; t < mesh.triangleCount; ++t) {
      Triangle2 triangle{};
      for (std::size_t k = 0; k < 3; ++k) {
        const LightmapPoint p = lightmapPointOf(mesh, indexAt(mesh, 3 * t + k));
        triangle[k] = {std::clamp(double{s * p.u}, 0.0, double(size) - 0.5),
                       std::clamp(double{s * p.v}, 0.0, double(size) - 0.5)};
        if (!std::isfinite(triangle[k].x) || !std::isfinite(triangle[k].y)) triangle[k] = {0, 0};
      }
      const CellImage cells = cellsOf({triangle});
      for (std::int32_t row = 0; row < cells.height; ++row) {
        for (const Span& span : cells.row(row)) {
          for (std::int32_t x = span.first; x <= span.last; ++x) {
            if (taken.lastTaken(row, x, x) < 0) ++takenCells;
          }
          taken.take(row, span.first, span.last);
        }
      }
    }
  }
  return taken;
}

// One chart at one density, in each of its four quarter turns: its cells,
// and those widened by the padding.
struct TurnedCells {
  std::array<CellImage, 4> cells, wide;
};

TurnedCells turnedCells(const ChartSet& set, std::size_t c, double at, std::int32_t padding) {
  TurnedCells turns;
  turns.cells[0] = set.cells(c, at);
  for (std::size_t k = 1; k < 4; ++k) turns.cells[k] = turned(turns.cells[k - 1]);
  for (std::size_t k = 0; k < 4; ++k) turns.wide[k] = widened(turns.cells[k], padding);
  return turns;
}

// Charts up to 64 cells across start looking where the last of their box
// went, alike or not: what the layouts have always done, at little cost in
// room at 512 and below; larger charts only behind one their cells hold.
constexpr std::int32_t kAlikeCells = 64;

// Every chart's cells at density `at`, in its four turns; empty when a chart
// is longer than the square there, so fits in no turn (its cells are not
// made: at a density the caller fixed, a chart of huge coordinates would
// have more rows than memory or an int holds).
std::vector<TurnedCells> allTurnedCells(const ChartSet& set, double at, const LayoutOptions& options) {
  for (std::size_t c = 0; c < set.count(); ++c) {
    if (!(std::max(set.shapes[c].width, set.shapes[c].height) * at * set.scale[c] <= options.size)) return {};
  }
  std::vector<TurnedCells> turns(set.count());
  forEachInParallel(set.count(), set.threads, [&](std::size_t c) { turns[c] = turnedCells(set, c, at, options.padding); });
  return turns;
}

// Packs the charts' cells (`turns`, from allTurnedCells) in `order`, clear
// of `taken`; false when one does not fit. Each goes in the quarter turn
// whose place is best by `rule`.
bool packTurned(const std::vector<TurnedCells>& turns, const std::vector<std::uint32_t>& order, PlaceRule rule,
                const Atlas& taken, const LayoutOptions& options, std::vector<Placement>& out) {
  const std::int32_t size = options.size, padding = options.padding;
  if (turns.empty() && !order.empty()) return false;
  Atlas atlas = taken;
  out.assign(turns.size(), {});
  StartRows starts(kAlikeCells);
  std::array<CellImage, 4> rings;
  for (std::uint32_t c : order) {
    std::array<PlaceCandidate, 4> candidates{};
    std::size_t count = 0;
    for (std::int32_t k = 0; k < 4; ++k) {
      const CellImage& cells = turns[c].cells[static_cast<std::size_t>(k)];
      const CellImage& wide = turns[c].wide[static_cast<std::size_t>(k)];
      if (cells.width > size - 2 * padding || cells.height > size - 2 * padding) continue;
      candidates[count] = {&cells, &wide, k, starts.startFor(cells, wide, k)};
      if (rule == PlaceRule::MostContact) {
        rings[static_cast<std::size_t>(k)] = widened(wide, 1);
        candidates[count].ring = &rings[static_cast<std::size_t>(k)];
      }
      ++count;
    }
    Placement best;
    if (!place(atlas, std::span(candidates.data(), count), size, padding, rule, best)) return false;
    starts.placed(std::span(candidates.data(), count));
    take(atlas, turns[c].cells[static_cast<std::size_t>(best.turns)], best);
    out[c] = best;
  }
  return true;
}

// The chart's face corners in texels from its cell's origin, turned as placed.
std::vector<Triangle2> placedTexels(const ChartSet& set, std::size_t c, double at, const Placement& placement) {
  std::vector<Triangle2> local = set.localTexels(c, at);
  if (placement.turns == 0) return local;
  // The rows of the chart's cells (as cellsOf counts them) in each turn: a
  // turn makes its columns rows.
  double maxX = 0, maxY = 0;
  for (const Triangle2& t : local) {
    for (const Vec2& p : t) maxX = std::max(maxX, p.x), maxY = std::max(maxY, p.y);
  }
  const std::array<std::int32_t, 2> rows = {static_cast<std::int32_t>(std::floor(maxY)) + 1,
                                            static_cast<std::int32_t>(std::floor(maxX)) + 1};
  for (std::int32_t k = 0; k < placement.turns; ++k) {
    for (Triangle2& t : local) {
      for (Vec2& p : t) p = turnedPoint(p, rows[static_cast<std::size_t>(k % 2)]);
    }
  }
  return local;
}

// The order charts are packed in, largest first by some measure of their
// rectangles.
enum class ChartOrder { Area, LongestSide, Perimeter, ShortestSide };

std::vector<std::uint32_t> chartOrder(const ChartSet& set, ChartOrder by) {
  const auto measure = [&](std::uint32_t c) {
    const ChartShape& shape = set.shapes[c];
    const double scale = set.scale[c];
    switch (by) {
      case ChartOrder::LongestSide: return scale * std::max(shape.width, shape.height);
      case ChartOrder::Perimeter: return scale * (shape.width + shape.height);
      case ChartOrder::ShortestSide: return scale * std::min(shape.width, shape.height);
      case ChartOrder::Area: break;
    }
    return scale * scale * shape.width * shape.height;
  };
  std::vector<std::uint32_t> order(set.count());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    const double measureA = measure(a), measureB = measure(b);
    return measureA != measureB ? measureA > measureB : a < b;
  });
  return order;
}

// Ways of packing; the densest wins, ties to the earlier. Over
// assimp-testmodels no one way is best for every model (largest area first
// suits most, longest side first suits long charts such as a cylinder's, a
// low top suits many charts alike): the best of these three covers 0.011
// more of the square on average than the first alone.
struct PackingWay {
  ChartOrder order;
  PlaceRule rule;
};
constexpr std::array<PackingWay, 3> kPackingWays = {{{ChartOrder::Area, PlaceRule::Lowest},
                                                     {ChartOrder::LongestSide, PlaceRule::Lowest},
                                                     {ChartOrder::Area, PlaceRule::LowestTop}}};
// Models of up to kMoreWaysFaces faces are packed more ways. Up to
// kContactCharts charts, three ways nest each chart against what is there
// (three orders: each wins on its own models). Over assimp-testmodels they
// cover 0.005 more of the square on average (98 models more, 2 less by
// 0.003; the concave polygons' diamonds 0.53 to 0.56, a model of 48
// separate faces 0.65 to 0.70), and take most of the layout's time on the
// models they change (the spiders, of 198 charts, 2.3 to 3.9 s before, 4.1
// to 8.2 s after; all 315 models 101 s before, 181 s after). Beyond these
// bounds they would add about as much again to the models of thousands of
// charts (the engines, the IFC house), and on the 1 M sphere (24 charts)
// the cells of its trials cost a tenth more time for the same layout.
constexpr std::array<PackingWay, 3> kContactWays = {{{ChartOrder::Area, PlaceRule::MostContact},
                                                     {ChartOrder::LongestSide, PlaceRule::MostContact},
                                                     {ChartOrder::Perimeter, PlaceRule::MostContact}}};
constexpr std::size_t kContactCharts = 1024;
constexpr std::size_t kMoreWaysFaces = 100000;
// Up to kFewCharts charts, where a packing takes a few milliseconds, three
// ways more take the charts shortest side first: 16 models of
// assimp-testmodels cover more, none less (a rock of 10 charts 0.685 to
// 0.711, a scene of 20 charts 0.752 to 0.773), the mean 0.0005 more.
constexpr std::array<PackingWay, 3> kFewChartWays = {{{ChartOrder::ShortestSide, PlaceRule::Lowest},
                                                      {ChartOrder::ShortestSide, PlaceRule::LowestTop},
                                                      {ChartOrder::ShortestSide, PlaceRule::MostContact}}};
constexpr std::size_t kFewCharts = 64;

std::vector<PackingWay> packingWays(const ChartSet& set) {
  std::vector<PackingWay> ways(kPackingWays.begin(), kPackingWays.end());
  if (set.charts.faces.size() > kMoreWaysFaces) return ways;
  if (set.count() <= kContactCharts) ways.insert(ways.end(), kContactWays.begin(), kContactWays.end());
  if (set.count() <= kFewCharts) ways.insert(ways.end(), kFewChartWays.begin(), kFewChartWays.end());
  return ways;
}

// Densities are searched to within 0.2 %: a covered share within 0.4 % of
// the best this packing finds, for a few more trials.
constexpr double kDensityTolerance = 1.002;
// From a density known to be near (the charts shaped again, or some meshes
// given more room), the search steps by 4 %: past the change either makes,
// in a few steps.
constexpr double kNearStep = 1 / 1.04;
// Another way of packing is first asked at 1 % above the density found:
// where it does better, it mostly does so by more than that.
constexpr double kRaiseStep = 1.01;

// The density and the places of the charts. The first way: from the
// rectangles' estimate, up by steps while they fit, down by halves while they
// do not (around kept layouts the estimate is too high), then bisection. The
// other ways, side by side on the threads, each only above the density the
// first found; the densest wins. With a density `near` (0: none), the first
// way starts there by steps of kNearStep. Or, at the caller's density, the
// first way that fits. 0 when nothing fits. `firstWayDensity`, where given,
// receives the density the first way found (when searched).
double packCharts(const ChartSet& set, std::span<const SampledMesh> kept, const LayoutOptions& options,
                  const std::function<void(double)>& progress, std::vector<Placement>& placements, double near,
                  double* firstWayDensity = nullptr) {
  std::size_t takenCells = 0;
  const Atlas taken = keptCells(kept, options.size, takenCells);
  const auto cancelled = [&] { return options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed); };
  const auto fitsWay = [&](const PackingWay& way, const std::vector<std::uint32_t>& order, double at,
                           std::vector<Placement>& placed) {
    std::vector<Placement> trial;
    if (cancelled() || !packTurned(allTurnedCells(set, at, options), order, way.rule, taken, options, trial)) {
      return false;
    }
    placed.swap(trial);
    return true;
  };
  if (options.texelsPerUnit > 0) {  // the cells once, for every way
    const std::vector<TurnedCells> turns = allTurnedCells(set, options.texelsPerUnit, options);
    for (const PackingWay& way : packingWays(set)) {
      if (!cancelled() && packTurned(turns, chartOrder(set, way.order), way.rule, taken, options, placements)) {
        return options.texelsPerUnit;
      }
    }
    progress(0.9);  // a cancelled packing is not one that does not fit: this throws
    return 0.0;
  }
  const double size = options.size;
  const double freeShare = 1.0 - static_cast<double>(takenCells) / (size * size);
  const double estimate =
      near > 0 ? near : rectangleDensity(set, options, progress) * std::sqrt(std::max(freeShare, 1e-6));
  if (!(estimate > 0)) return 0;
  const std::vector<std::uint32_t> first = chartOrder(set, kPackingWays[0].order);
  // Two densities may be tried at once: each keeps its places apart.
  std::mutex fittedLock;
  std::map<double, std::vector<Placement>> fitted;
  const double density = largestFittingDensity(
      estimate, near > 0 ? kNearStep : 0.5, near > 0 ? 1 / kNearStep : 1.15, kDensityTolerance,
      [&](double at) {
        std::vector<Placement> placed;
        if (!fitsWay(kPackingWays[0], first, at, placed)) return false;
        const std::lock_guard<std::mutex> hold(fittedLock);
        fitted[at] = std::move(placed);
        return true;
      },
      [&](int step) { progress(0.75 + 0.1 * std::min(step, 10) / 10.0); }, set.threads);
  if (!(density > 0)) return 0;
  if (firstWayDensity != nullptr) *firstWayDensity = density;
  placements = std::move(fitted[density]);
  const std::vector<PackingWay> ways = packingWays(set);
  std::vector<double> raised(ways.size() - 1, 0.0);
  std::vector<std::vector<Placement>> placedBy(ways.size() - 1);
  forEachInParallel(ways.size() - 1, set.threads, [&](std::size_t w) {
    const PackingWay& way = ways[w + 1];
    const std::vector<std::uint32_t> order = chartOrder(set, way.order);
    raised[w] = raisedDensity(density, kRaiseStep, kDensityTolerance,
                              [&](double at) { return fitsWay(way, order, at, placedBy[w]); });
  });
  progress(0.9);
  const auto best = std::max_element(raised.begin(), raised.end());  // the first of equals
  if (*best <= density) return density;
  placements.swap(placedBy[static_cast<std::size_t>(best - raised.begin())]);
  return *best;
}

// Lightmap points of every face's corners, from the charts' places; faces of
// no chart take a point of a chart they touch, so they take no room. Also
// the share of the square the charts take as laid flat.
std::vector<std::array<LightmapPoint, 3>> lightmapPoints(const Faces& faces, const ChartSet& set,
                                                         const std::vector<Placement>& placements, double density,
                                                         const LayoutOptions& options, double& coveredShare) {
  const std::int32_t size = options.size;
  std::vector<std::array<LightmapPoint, 3>> points(faces.corners.size());
  double texelArea = 0;
  for (std::size_t c = 0; c < set.count(); ++c) {
    const std::vector<Triangle2> local = placedTexels(set, c, density, placements[c]);
    for (std::uint32_t i = set.charts.faceStart[c]; i < set.charts.faceStart[c + 1]; ++i) {
      const std::uint32_t f = set.charts.faces[i];
      const Triangle2& t = local[i - set.charts.faceStart[c]];
      texelArea += 0.5 * cross2(t[0], t[1], t[2]);
      for (std::size_t k = 0; k < 3; ++k) {
        const double x = std::min(placements[c].x + t[k].x, double(size));
        const double y = std::min(placements[c].y + t[k].y, double(size));
        points[f][k] = {lightmapCoordinate(x, size), lightmapCoordinate(y, size)};
      }
    }
  }
  coveredShare = texelArea / (static_cast<double>(size) * size);
  std::vector<LightmapPoint> pointAt(faces.positions.size(), LightmapPoint{-1, -1});
  for (std::size_t f = 0; f < faces.corners.size(); ++f) {
    for (std::size_t k = 0; k < 3 && set.charts.chartOf[f] >= 0; ++k) pointAt[faces.corners[f][k]] = points[f][k];
  }
  // A face touching no chart: within the padding, or on the far edge of a square no wider.
  const float inside = lightmapCoordinate(std::min(options.padding, size), size);
  for (std::size_t f = 0; f < faces.corners.size(); ++f) {
    if (set.charts.chartOf[f] >= 0) continue;
    LightmapPoint point = {inside, inside};
    for (std::size_t k = 0; k < 3; ++k) {
      if (pointAt[faces.corners[f][k]].u >= 0) point = pointAt[faces.corners[f][k]];
    }
    points[f] = {point, point, point};
  }
  return points;
}

// What the layout leaves unsampled at its size, and the size that would
// sample it all.
void countUnsampled(const Faces& faces, const Charts& charts, const std::vector<std::array<LightmapPoint, 3>>& points,
                    std::int32_t size, GeneratedLayout& layout) {
  double surface = 0, unsampled = 0;
  std::int32_t needed = size;
  for (std::size_t f = 0; f < faces.corners.size(); ++f) {
    surface += faces.areas[f];
    if (charts.chartOf[f] < 0 || coversTexelCorner(points[f], size)) continue;
    ++layout.unsampledTriangles;
    unsampled += faces.areas[f];
    if (needed == 0) continue;
    while (needed <= kLargestSize && !coversTexelCorner(points[f], needed)) needed *= 2;
    if (needed > kLargestSize) needed = 0;
  }
  layout.unsampledAreaShare = surface > 0 ? unsampled / surface : 0;
  layout.sizeSamplingAll = needed;
}

// One layout of the charts: the density, the charts' places and every face's
// lightmap points (density 0 when the charts do not fit).
struct Laid {
  double density = 0;
  double firstWayDensity = 0;  // what the first way of packing found alone
  double coveredShare = 0;
  std::size_t snappedVertices = 0;
  std::vector<Placement> placements;
  std::vector<std::array<LightmapPoint, 3>> points;
};

// Packs the charts, shaping long charts again for the density found, and
// gives every face its lightmap points, not yet snapped.
// `near`: a density close to the one to be found (0: none known).
Laid layOut(const Faces& faces, ChartSet& set, std::span<const SampledMesh> kept, const LayoutOptions& options,
            const std::function<void(double)>& progress, double near = 0) {
  Laid laid;
  laid.density =
      set.count() == 0 ? 1.0 : packCharts(set, kept, options, progress, laid.placements, near, &laid.firstWayDensity);
  if (laid.density > 0 && set.count() > 0 && reshapeForDensity(set, laid.density)) {
    laid.density = packCharts(set, kept, options, progress, laid.placements, laid.density, &laid.firstWayDensity);
  }
  if (!(laid.density > 0)) return laid;
  laid.points = lightmapPoints(faces, set, laid.placements, laid.density, options, laid.coveredShare);
  return laid;
}

// Moves vertices of small faces onto texel corners: once a layout is chosen,
// as it takes a good share of the time.
void snap(const Faces& faces, const ChartSet& set, const LayoutOptions& options, Laid& laid) {
  if (!(laid.density > 0)) return;
  ChartCells cells;
  cells.placements = laid.placements;
  cells.images.resize(set.count());
  forEachInParallel(set.count(), set.threads, [&](std::size_t c) {
    cells.images[c] = cellsOf(placedTexels(set, c, laid.density, laid.placements[c]));
  });
  laid.snappedVertices = snapToTexelCorners(faces, set.charts, options.size, cells, set.threads, laid.points);
}

// Lays out `other` charts of the same faces and keeps them when they pack
// denser than `set` did (beyond the density search's own tolerance, so that
// a tie keeps the fewer seams), or fit where those did not. They are first
// tried at that density alone: most that cannot beat it stop there, at the
// cost of a packing or three instead of a search.
void keepDenser(const Faces& faces, ChartSet other, std::span<const SampledMesh> kept, const LayoutOptions& options,
                const std::function<void(double)>& progress, ChartSet& set, Laid& laid) {
  const auto stay = [&](double) { progress(0.9); };  // progress does not go back; a cancel still stops
  if (laid.density > 0) {
    if (options.texelsPerUnit > 0) return;
    LayoutOptions beyond = options;
    beyond.texelsPerUnit = laid.density * kDensityTolerance;
    std::vector<Placement> placements;
    if (!(packCharts(other, kept, beyond, stay, placements, 0) > 0)) return;
  }
  // The search starts where the first way stood for `set`: a density the
  // other ways raised would move where it lands, not how far it gets (the
  // densities that fit lie in bands).
  const double near = laid.firstWayDensity > 0 ? laid.firstWayDensity : laid.density;
  Laid again = layOut(faces, other, kept, options, stay, near);
  if (again.density > 0 && (!(laid.density > 0) || again.density > laid.density * kDensityTolerance)) {
    set = std::move(other);
    laid = std::move(again);
  }
}

// A mesh loses its surface to faces that hold no texel corner (no sample)
// when the layout's density is too low for its faces. The goal is that no
// mesh loses more than a quarter; a mesh above kUnfairLoss gets a multiple of
// the density aimed at kRaisedLossGoal, below the goal, because the others
// get a lower density once it takes more room (and snapping and rounding
// make the estimate rough). The raised meshes' charts together take at most
// kRaiseBudget more room (their rectangles with the padding: a long sliver
// of little area takes much) than at one density, so that the others'
// density falls by a tenth at most (1 / sqrt(1.25)). kUnfairLoss is under a
// fifth because a mesh a little under it rises past the goal once the others
// take more room (on the engine of assimp-testmodels one went from 0.17 to
// 0.28); at 0.15 the two engines' worst meshes lose 0.27 and 0.28 instead of
// 0.28 and 0.30, at 0.12 or 0.1 no less.
constexpr double kLossGoal = 0.25;
constexpr double kUnfairLoss = 0.15;
constexpr double kRaisedLossGoal = 0.1;
constexpr double kRaiseBudget = 0.25;
// A layout with raised meshes is kept when it brings the worst loss down by
// a quarter at least (less would trade the whole model's density for
// little), and its charts still cover what the budget allows, 0.8 of the
// square they covered (1 / 1.25: more room at the same total).
constexpr double kFairGain = 0.75;
constexpr double kFairCover = 0.8;
// A model that loses more than a tenth of its whole surface is too finely
// divided for the size (the layout says which size would do): raising some
// of its meshes would only move the loss to the others.
constexpr double kWholeModelLoss = 0.1;
// The estimate is rough (on the engine of assimp-testmodels it expects the
// worst loss at 0.8 of what it was and gets 0.4; on the IFC house, meshes of
// slivers, 0.99 and 0.8), so a layout more is tried unless the gain
// expected is under a tenth.
constexpr double kWorthTrying = 0.9;
// Where a mesh still loses more than kLossGoal once raised, the estimate
// missed (on the engines of assimp-testmodels, raised 4.5 times, a large
// mesh lost nothing and the thin springs a quarter): the raises are set
// once more from the losses measured. A raised mesh losing under
// kOverservedLoss (half kRaisedLossGoal) gives back a step of kMeshRaiseStep,
// one still above kUnfairLoss takes one more, within kRaiseBudget; on the
// engines the worst mesh then loses 0.21 and 0.22 instead of 0.27 and 0.28.
// Smaller or larger steps (1.15, 1.4) kept less there.
constexpr double kOverservedLoss = 0.05;
constexpr double kMeshRaiseStep = 1.25;
constexpr double kMostRaise = 8;

// Per mesh, its surface and the part of it in faces with no texel corner.
struct MeshLoss {
  double surface = 0, lost = 0;
  double share() const { return surface > 0 ? lost / surface : 0; }
};

std::vector<MeshLoss> meshLosses(const Faces& faces, const Charts& charts, std::span<const std::size_t> firstFace,
                                 const std::vector<std::array<LightmapPoint, 3>>& points, std::int32_t size) {
  std::vector<MeshLoss> losses(firstFace.size() - 1);
  for (std::size_t m = 0; m < losses.size(); ++m) {
    for (std::size_t f = firstFace[m]; f < firstFace[m + 1]; ++f) {
      losses[m].surface += faces.areas[f];
      if (charts.chartOf[f] >= 0 && !coversTexelCorner(points[f], size)) losses[m].lost += faces.areas[f];
    }
  }
  return losses;
}

double wholeLoss(const std::vector<MeshLoss>& losses) {
  double surface = 0, lost = 0;
  for (const MeshLoss& loss : losses) surface += loss.surface, lost += loss.lost;
  return surface > 0 ? lost / surface : 0;
}

double worstLoss(const std::vector<MeshLoss>& losses) {
  double worst = 0;
  for (const MeshLoss& loss : losses) worst = std::max(worst, loss.share());
  return worst;
}

// The share of the surface of faces [first, last) left with no texel corner
// at `density` times `raise`, by a rough rule: a face of t texels of area
// holds a texel corner with a chance of about t; one longer than a texel,
// of about its width across (t over its length l): a sliver along the rows
// holds a whole row of corners or none. So min(1, t / max(1, l)).
double estimatedLoss(const Faces& faces, std::size_t first, std::size_t last, double density, double raise) {
  double surface = 0, lost = 0;
  const double at = density * raise;
  for (std::size_t f = first; f < last; ++f) {
    const auto& corners = faces.corners[f];
    double longest = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      longest = std::max(longest, length(faces.positions[corners[k]] - faces.positions[corners[(k + 1) % 3]]));
    }
    const double chance = faces.areas[f] * at * at / std::max(1.0, longest * at);
    surface += faces.areas[f];
    lost += faces.areas[f] * std::max(0.0, 1.0 - chance);
  }
  return surface > 0 ? lost / surface : 0.0;
}

// The room chart c takes at `density`: its rectangle widened by the padding.
double roomOf(const ChartSet& set, std::size_t c, double density, std::int32_t padding) {
  const double spare = 2.0 * padding + 1;  // a texel for rounding
  return (set.shapes[c].width * density + spare) * (set.shapes[c].height * density + spare);
}

// Per chart, the largest raise among its faces' meshes.
std::vector<double> chartRaises(const ChartSet& set, std::span<const std::size_t> firstFace,
                                const std::vector<double>& raises) {
  std::vector<double> chart(set.count(), 1.0);
  for (std::size_t m = 0; m + 1 < firstFace.size(); ++m) {
    for (std::size_t f = firstFace[m]; f < firstFace[m + 1]; ++f) {
      if (set.charts.chartOf[f] < 0) continue;
      double& raise = chart[static_cast<std::size_t>(set.charts.chartOf[f])];
      raise = std::max(raise, raises[m]);
    }
  }
  return chart;
}

// Each mesh's raise brought toward 1 alike (raise' = 1 + t (raise - 1), the
// largest t within kRaiseBudget, to 1 %) by the room its charts take.
void fitRaisesToBudget(const ChartSet& set, std::span<const std::size_t> firstFace, double density,
                       std::int32_t padding, std::vector<double>& raises) {
  // The largest raise of a chart's meshes, brought toward 1, is the largest
  // of theirs brought toward 1: one raise per chart serves every t.
  const std::vector<double> chart = chartRaises(set, firstFace, raises);
  double room = 0;
  for (std::size_t c = 0; c < set.count(); ++c) room += roomOf(set, c, density, padding);
  const auto extraRoom = [&](double t) {
    double extra = 0;
    for (std::size_t c = 0; c < set.count(); ++c) {
      extra += roomOf(set, c, density * (1 + t * (chart[c] - 1)), padding) - roomOf(set, c, density, padding);
    }
    return extra;
  };
  double low = 0, high = 1;
  if (extraRoom(high) > kRaiseBudget * room) {
    while (high - low > 0.01) ((extraRoom(0.5 * (low + high)) > kRaiseBudget * room) ? high : low) = 0.5 * (low + high);
    for (double& raise : raises) raise = 1 + low * (raise - 1);
  }
}

// Per mesh, a multiple of the density for those losing more than
// kUnfairLoss (the least, by steps of 1.25 up to 8, expected to bring it to
// kRaisedLossGoal, the rule calibrated by the loss measured), within
// kRaiseBudget. Empty when no mesh needs one, or when the worst loss
// expected after the raises is not below kWorthTrying of the worst now (a
// layout more is not worth its time).
std::vector<double> fairRaises(const Faces& faces, const ChartSet& set, std::span<const std::size_t> firstFace,
                               const std::vector<MeshLoss>& losses, double density, std::int32_t padding) {
  std::vector<double> raises(losses.size(), 1.0), calibration(losses.size(), 1.0);
  bool any = false;
  for (std::size_t m = 0; m < losses.size(); ++m) {
    if (losses[m].share() <= kUnfairLoss) continue;
    const auto loss = [&](double raise) {
      return estimatedLoss(faces, firstFace[m], firstFace[m + 1], density, raise);
    };
    if (loss(1.0) > 0) calibration[m] = losses[m].share() / loss(1.0);
    raises[m] = kMeshRaiseStep;
    while (raises[m] < kMostRaise && calibration[m] * loss(raises[m]) > kRaisedLossGoal) {
      raises[m] = std::min(kMostRaise, raises[m] * kMeshRaiseStep);
    }
    any = true;
  }
  if (!any) return {};
  fitRaisesToBudget(set, firstFace, density, padding, raises);
  double expectedWorst = 0;
  for (std::size_t m = 0; m < losses.size(); ++m) {
    const double expected = raises[m] == 1.0 ? losses[m].share()
                                             : calibration[m] * estimatedLoss(faces, firstFace[m], firstFace[m + 1],
                                                                              density, raises[m]);
    expectedWorst = std::max(expectedWorst, expected);
  }
  if (expectedWorst > kWorthTrying * worstLoss(losses)) return {};
  return raises;
}

// The raises set again from the losses measured at them (see
// kOverservedLoss), within kRaiseBudget at `density`.
std::vector<double> rebalancedRaises(const ChartSet& set, std::span<const std::size_t> firstFace,
                                     const std::vector<MeshLoss>& losses, std::vector<double> raises, double density,
                                     std::int32_t padding) {
  for (std::size_t m = 0; m < raises.size(); ++m) {
    if (raises[m] > 1 && losses[m].share() < kOverservedLoss) {
      raises[m] = std::max(1.0, raises[m] / kMeshRaiseStep);
    } else if (losses[m].share() > kUnfairLoss) {
      raises[m] = std::min(kMostRaise, raises[m] * kMeshRaiseStep);
    }
  }
  fitRaisesToBudget(set, firstFace, density, padding, raises);
  return raises;
}

// A further layout of the charts as `set` now has them (searched from
// `near`), snapped, and each mesh's loss in it (none when the charts do not
// fit). `set` is left as tried: once laid out, only the layout is read.
struct LaidAgain {
  Laid laid;
  std::vector<MeshLoss> losses;
};

LaidAgain layOutAgain(const Faces& faces, ChartSet& set, std::span<const std::size_t> firstFace,
                      std::span<const SampledMesh> kept, const LayoutOptions& options,
                      const std::function<void(double)>& progress, double near) {
  LaidAgain again;
  // Progress stays where it is (it does not go back), but a cancel still stops.
  again.laid = layOut(faces, set, kept, options, [&](double) { progress(0.9); }, near);
  if (!(again.laid.density > 0)) return again;
  snap(faces, set, options, again.laid);
  again.losses = meshLosses(faces, set.charts, firstFace, again.laid.points, options.size);
  return again;
}

// The charts of `set` to lay out at `raises`: a raised mesh's small charts,
// joined to others at one density, are charts of their own again (raised,
// they are not that small: on the engines of assimp-testmodels, joined, a
// mesh of bolts lost 0.49 of its surface instead of 0.22).
ChartSet apartWhereRaised(const Faces& faces, const ChartSet& set, std::span<const std::size_t> firstFace,
                          const std::vector<double>& raises, double density, const LayoutOptions& options) {
  std::vector<char> raised(raises.size(), 0);
  for (std::size_t m = 0; m < raises.size(); ++m) raised[m] = raises[m] > 1 ? 1 : 0;
  JoinedCharts joined = set.joined;
  Charts apart = takeApart(set.charts, joined, firstFace, raised);
  if (apart.faceStart.empty()) return set;
  ChartSet taken = makeCharts(faces, std::move(apart), density, options, &set);
  taken.joined = std::move(joined);
  return taken;
}

// The layout with each chart at the largest raise among its faces' meshes.
LaidAgain layOutRaised(const Faces& faces, ChartSet& set, std::span<const std::size_t> firstFace,
                       const std::vector<double>& raises, std::span<const SampledMesh> kept,
                       const LayoutOptions& options, const std::function<void(double)>& progress, double near) {
  set.scale = chartRaises(set, firstFace, raises);
  return layOutAgain(faces, set, firstFace, kept, options, progress, near);
}

// Lays the meshes out once more with the density of meshes that lose much
// of their surface raised, and where one still loses more than kLossGoal,
// once more with the raises rebalanced. A raised layout is kept when the
// worst loss of any mesh falls (to kFairGain of what it was, for the
// first), the whole model loses no more, and the charts still cover
// kFairCover of the square they covered at one density. Not at a density
// the caller fixed. Returns each mesh's multiple of the density.
// `firstFace`: each mesh's first face, and the count of faces last.
std::vector<double> layOutFairly(const Faces& faces, ChartSet& set, std::span<const std::size_t> firstFace,
                                 std::span<const SampledMesh> kept, const LayoutOptions& options,
                                 const std::function<void(double)>& progress, Laid& laid) {
  const std::size_t meshCount = firstFace.size() - 1;
  std::vector<double> none(meshCount, 1.0);
  if (options.texelsPerUnit > 0 || meshCount < 2 || set.count() == 0) return none;
  const std::vector<MeshLoss> losses = meshLosses(faces, set.charts, firstFace, laid.points, options.size);
  if (wholeLoss(losses) > kWholeModelLoss) return none;
  const std::vector<double> raises = fairRaises(faces, set, firstFace, losses, laid.density, options.padding);
  if (raises.empty()) return none;
  // With the worst loss at most `worst`.
  const auto keeps = [&](const LaidAgain& raised, const std::vector<MeshLoss>& than, double worst) {
    return !raised.losses.empty() && raised.laid.coveredShare >= kFairCover * laid.coveredShare &&
           worstLoss(raised.losses) <= worst && wholeLoss(raised.losses) <= wholeLoss(than);
  };
  ChartSet firstSet = apartWhereRaised(faces, set, firstFace, raises, laid.density, options);
  LaidAgain first = layOutRaised(faces, firstSet, firstFace, raises, kept, options, progress, laid.density);
  if (!keeps(first, losses, kFairGain * worstLoss(losses))) return none;
  if (worstLoss(first.losses) > kLossGoal) {
    const std::vector<double> rebalanced =
        rebalancedRaises(firstSet, firstFace, first.losses, raises, laid.density, options.padding);
    ChartSet secondSet = apartWhereRaised(faces, set, firstFace, rebalanced, laid.density, options);
    LaidAgain second =
        layOutRaised(faces, secondSet, firstFace, rebalanced, kept, options, progress, first.laid.density);
    if (keeps(second, first.losses, worstLoss(first.losses)) && worstLoss(second.losses) < worstLoss(first.losses)) {
      set = std::move(secondSet);
      laid = std::move(second.laid);
      return rebalanced;
    }
  }
  set = std::move(firstSet);
  laid = std::move(first.laid);
  return raises;
}

// A face under a texel across but many long (the side of a finely divided
// tube) that lies along the rows or columns can hold no texel corner however
// its chart is shifted, and its neighbours, as thin, keep its vertices from
// snapping: on the engines of assimp-testmodels, strips a third of a texel
// wide and nine long make up 40 % of the surface their largest meshes leave
// unsampled. The charts holding such a face with no texel corner and at
// least kMissedTexels of area (smaller faces miss corners anyway) are turned
// so that each of their long thin faces climbs a texel along its length, and
// the layout is made once more: kept when the whole model loses less, the
// worst mesh no more than kClimbWorstRise allows, and the charts cover
// kClimbCover of the square they covered (turned charts take more room).
constexpr double kMissedTexels = 0.5;
constexpr double kClimbCover = 0.95;
// The worst mesh may lose up to a tenth more (of what it lost) in the
// turned layout, never past kLossGoal: a large fall of the whole loss can
// come with a small rise of the worst (on the engine of assimp-testmodels,
// with its tubes' charts rolled out whole, 2.09 % of the surface lost
// became 1.66 % while the worst mesh went from 0.209 to 0.211).
constexpr double kClimbWorstRise = 1.1;

// Whether the face at these points (in texels) misses every texel corner
// though long, thin and of kMissedTexels or more.
bool missedThinFace(const std::array<LightmapPoint, 3>& points, std::int32_t size) {
  if (coversTexelCorner(points, size)) return false;
  Triangle2 texels{};
  for (std::size_t k = 0; k < 3; ++k) texels[k] = {double{points[k].u} * size, double{points[k].v} * size};
  return std::abs(cross2(texels[0], texels[1], texels[2])) >= 2 * kMissedTexels &&
         std::isfinite(longThinLength(texels, 1.0));
}

void climbWhereThinFacesMiss(const Faces& faces, ChartSet& set, std::span<const std::size_t> firstFace,
                             std::span<const SampledMesh> kept, const LayoutOptions& options,
                             const std::function<void(double)>& progress, Laid& laid) {
  std::vector<char> climb(set.count(), 0);
  bool any = false;
  for (std::size_t f = 0; f < faces.corners.size(); ++f) {
    const std::int32_t c = set.charts.chartOf[f];
    if (c < 0 || climb[static_cast<std::size_t>(c)] != 0 || !missedThinFace(laid.points[f], options.size)) continue;
    climb[static_cast<std::size_t>(c)] = 1;
    any = true;
  }
  if (!any) return;
  forEachInParallel(set.count(), set.threads, [&](std::size_t c) {
    if (climb[c] != 0) shapeChart(set, c, laid.density * set.scale[c], true);
  });
  LaidAgain again = layOutAgain(faces, set, firstFace, kept, options, progress, laid.density);
  if (again.losses.empty()) return;
  const std::vector<MeshLoss> before = meshLosses(faces, set.charts, firstFace, laid.points, options.size);
  const double worstAllowed = std::max(worstLoss(before), std::min(kLossGoal, kClimbWorstRise * worstLoss(before)));
  if (wholeLoss(again.losses) < wholeLoss(before) && worstLoss(again.losses) <= worstAllowed &&
      again.laid.coveredShare >= kClimbCover * laid.coveredShare) {
    laid = std::move(again.laid);
  }
}

// Each mesh's new vertices: one per input vertex and lightmap point, in the
// order their corners first come, and its triangles over them.
void handOut(std::span<const SampledMesh> meshes, const Charts& charts,
             const std::vector<std::array<LightmapPoint, 3>>& points, GeneratedLayout& layout) {
  layout.meshes.assign(meshes.size(), {});
  std::size_t face = 0;
  constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    MeshLayout& out = layout.meshes[m];
    // For each input vertex its first new vertex; further ones chained.
    std::vector<std::uint32_t> first(meshes[m].vertexCount, kNone), next;
    out.triangles.reserve(3 * meshes[m].triangleCount);
    out.chartIds.reserve(meshes[m].triangleCount);
    for (std::size_t t = 0; t < meshes[m].triangleCount; ++t, ++face) {
      out.chartIds.push_back(charts.chartOf[face] < 0 ? kNoChart : static_cast<std::uint32_t>(charts.chartOf[face]));
      for (std::size_t k = 0; k < 3; ++k) {
        const auto input = static_cast<std::uint32_t>(indexAt(meshes[m], 3 * t + k));
        const LightmapPoint p = points[face][k];
        std::uint32_t previous = kNone, at = first[input];
        while (at != kNone && std::memcmp(&out.lightmapUvs[2 * std::size_t{at}], &p, sizeof p) != 0) {
          previous = at;
          at = next[at];
        }
        if (at == kNone) {
          at = static_cast<std::uint32_t>(out.xref.size());
          (previous == kNone ? first[input] : next[previous]) = at;
          out.xref.push_back(input);
          out.lightmapUvs.insert(out.lightmapUvs.end(), {p.u, p.v});
          next.push_back(kNone);
        }
        out.triangles.push_back(at);
      }
    }
  }
}

// The same surface in charts laid flat on planes instead of rolled out,
// kept when they cover more of the square, beyond the density search's
// tolerance squared, so that a tie keeps the fewer charts. Covered share,
// not density: laid flat, a tilted face takes less of the square at the same
// density. Packed once first at the density where they would cover just
// that much, then, where they fit, laid out afresh (the density found for
// the charts rolled out says little of theirs). Only where the density is
// searched: at one the caller fixed, `generate` lays the charts flat where
// those rolled out do not fit.
void keepFlatWhereItCoversMore(const Faces& faces, ChartSet flat, std::span<const SampledMesh> kept,
                               const LayoutOptions& options, const std::function<void(double)>& progress,
                               ChartSet& set, Laid& laid) {
  const auto stay = [&](double) { progress(0.9); };  // progress does not go back; a cancel still stops
  const double beyond = kDensityTolerance * kDensityTolerance;
  if (laid.density > 0) {
    // First packed once at the density where they would cover as much:
    // most that cannot beat the charts rolled out stop there.
    double area = 0;  // as laid flat, in model units
    for (std::size_t c = 0; c < flat.count(); ++c) {
      for (std::uint32_t i = flat.charts.faceStart[c]; i < flat.charts.faceStart[c + 1]; ++i) {
        const Triangle2& t = flat.charts.flat[flat.charts.faces[i]];
        area += 0.5 * cross2(t[0], t[1], t[2]) * flat.scale[c] * flat.scale[c];
      }
    }
    LayoutOptions atEqualShare = options;
    atEqualShare.texelsPerUnit = options.size * std::sqrt(laid.coveredShare * beyond / area);
    std::vector<Placement> placements;
    if (!(area > 0) || !(packCharts(flat, kept, atEqualShare, stay, placements, 0) > 0)) return;
  }
  Laid again = layOut(faces, flat, kept, options, stay);
  if (again.density > 0 && (!(laid.density > 0) || again.coveredShare > laid.coveredShare * beyond)) {
    set = std::move(flat);
    laid = std::move(again);
  }
}

// A chart whose faces fill under one of these shares of their convex hull is
// cut in two (again and again, down to pieces a few paddings across); each
// share gives a set of cut charts, kept where it packs denser than what is
// kept so far. Much of an outline bends in before a cut pays: over
// assimp-testmodels at 512, cutting below 0.6 or 0.8 alone gave a mean
// covered share of 0.686 or 0.691 (with the uncut charts 0.677), 0.9 alone
// less than 0.8. With charts' outlines smoothed, 0.8 alone gives 0.6991,
// 0.85 alone 0.7001 (spheres of ragged caps gain, 14 models lose), 0.8 and
// 0.85 0.7007 (27 models more, none less), and with 0.9 as well 0.7014
// (35 models more than 0.8 alone, none less; a rock of ragged charts 0.718
// to 0.767, in 19 charts instead of 10), 0.0012 more at 256. All 35 had
// under 60 charts: the shares after the first are tried up to kFewCharts
// charts only, as beyond they cost time for the same layouts (cutting and
// a first packing each: the engine of 3,172 charts 12.2 to 12.6 s against
// 11.6 to 12.1 s).
constexpr std::array<double, 3> kHollowFills = {0.8, 0.85, 0.9};

// Whether two sets of charts group the same faces in the same order.
bool sameGrouping(const Charts& a, const Charts& b) { return a.faceStart == b.faceStart && a.faces == b.faces; }

// The ways to group the charts grown, in the order tried (a later way is
// kept only where it packs denser, so fewer charts win ties): the charts
// grown, then each distinct set of hollow cuts, first with pieces side by
// side joined again where they fill their hull together, then as cut; all
// with long charts cut only where that shortens them; then, where that
// groups otherwise, each with every long chart cut. Over assimp-testmodels
// at 512, joining pieces again gave 128 charts fewer and 0.0007 more of the
// square on average (18 models more, 16 less by up to 0.004); cutting long
// charts only where shorter 195 charts fewer and 0.0011 more (a quad's two
// triangles no longer two charts: the IFC house 0.371 to 0.387), where alone
// it cost the spiders 0.05 (their legs' fans of long faces, cut into wedges,
// pack head to tail). Trying every long chart cut only for the way kept
// instead of for each cost the spiders 0.015 (the way kept was cut).
std::vector<Charts> groupingsOf(Charts grown, double expectedDensity, const LayoutOptions& options) {
  std::vector<Charts> ways, asCut;
  ways.push_back(std::move(grown));
  const auto addNew = [&](Charts charts) {
    const auto same = [&](const Charts& other) { return sameGrouping(charts, other); };
    if (std::none_of(ways.begin() + 1, ways.end(), same)) ways.push_back(std::move(charts));
  };
  const std::size_t fills = ways.front().faceStart.size() - 1 <= kFewCharts ? kHollowFills.size() : 1;
  for (const double fill : std::span(kHollowFills).first(fills)) {
    Charts cut = splitHollowCharts(ways.front(), expectedDensity, options.padding, fill);
    if (cut.faceStart.empty()) continue;
    Charts joined = rejoinFilledNeighbours(ways.front(), cut, fill);
    if (joined.faceStart.empty()) {
      addNew(std::move(cut));
    } else {
      addNew(std::move(joined));
      asCut.push_back(std::move(cut));
    }
  }
  for (Charts& cut : asCut) addNew(std::move(cut));
  // Beyond kContactCharts charts (the IFC house, the engines, a walker of
  // assimp-testmodels) no layout kept every long chart cut, and each try
  // costs a packing of thousands of charts.
  const bool everyCutToo = ways.front().faceStart.size() - 1 <= kContactCharts;
  std::vector<Charts> everyCut;
  for (Charts& way : ways) {
    Charts all = everyCutToo ? splitLongCharts(way, expectedDensity, options.padding, false) : Charts{};
    way = splitLongCharts(std::move(way), expectedDensity, options.padding, true);
    if (everyCutToo && !sameGrouping(all, way)) everyCut.push_back(std::move(all));
  }
  std::move(everyCut.begin(), everyCut.end(), std::back_inserter(ways));
  return ways;
}

// The charts grown (rolled out within `unfold`), grouped each way that may
// pack denser, shaped, and laid out.
Laid chartsLaidOut(const Faces& faces, std::span<const std::size_t> firstFace, std::span<const SampledMesh> kept,
                   const LayoutOptions& options, const UnfoldLimits& unfold,
                   const std::function<void(double)>& progress, ChartSet& set) {
  const double expectedDensity = unfold.expectedDensity;
  Charts laidFlat;  // the same surface laid flat, where charts are rolled out
  Charts grown = growCharts(faces, options.maxChartAngle, unfold, progress, threadsFor(options.threads), &laidFlat);
  findHulls(grown, threadsFor(options.threads));
  JoinedCharts joined;
  if (Charts fewer = joinSmallCharts(faces, firstFace, grown, expectedDensity, options.padding, joined);
      !fewer.faceStart.empty()) {
    grown = std::move(fewer);
  }
  std::vector<Charts> ways = groupingsOf(std::move(grown), expectedDensity, options);
  set = makeCharts(faces, std::move(ways.front()), expectedDensity, options);
  set.joined = joined;
  // Shaped before `set` is laid out (and maybe shaped again), to share its shapes.
  std::vector<ChartSet> others;
  for (std::size_t w = 1; w < ways.size(); ++w) {
    others.push_back(makeCharts(faces, std::move(ways[w]), expectedDensity, options, &set));
    others.back().joined = joined;
  }
  Laid laid = layOut(faces, set, kept, options, progress);
  for (ChartSet& other : others) keepDenser(faces, std::move(other), kept, options, progress, set, laid);
  // Fewer charts rolled out may still cover less than the same surface laid
  // flat on planes (a tube's thirds fitting around its caps).
  if (!laidFlat.faceStart.empty() && options.texelsPerUnit == 0) {
    Charts flat = splitLongCharts(std::move(laidFlat), expectedDensity, options.padding, true);
    keepFlatWhereItCoversMore(faces, makeCharts(faces, std::move(flat), expectedDensity, options, &set), kept,
                              options, progress, set, laid);
  }
  return laid;
}

Result generate(std::span<const SampledMesh> meshes, std::span<const SampledMesh> kept, const LayoutOptions& options,
                GeneratedLayout& layout) {
  const std::function<void(double)> progress = progressFor(options);
  const Faces faces = collectFaces(meshes, threadsFor(options.threads));
  const double expectedDensity = expectedDensityOf(faces, options);
  std::vector<std::size_t> firstFace(meshes.size() + 1, 0);
  for (std::size_t m = 0; m < meshes.size(); ++m) firstFace[m + 1] = firstFace[m] + meshes[m].triangleCount;
  ChartSet set;
  Laid laid = chartsLaidOut(faces, firstFace, kept, options, UnfoldLimits{expectedDensity}, progress, set);
  // At a density the caller fixed, charts rolled out whole may not fit where
  // charts laid flat on planes (smaller, and more of them) do.
  if (!(laid.density > 0) && options.texelsPerUnit > 0) {
    // Progress stays where it is (it does not go back), but a cancel still stops.
    laid = chartsLaidOut(faces, firstFace, kept, options, UnfoldLimits{expectedDensity, false},
                         [&](double) { progress(0.9); }, set);
  }
  snap(faces, set, options, laid);
  if (!(laid.density > 0)) {
    layout.charts = set.count();
    return {Status::DoesNotFit, "the charts do not fit the lightmap with the padding"};
  }
  const std::vector<double> meshRaise = layOutFairly(faces, set, firstFace, kept, options, progress, laid);
  climbWhereThinFacesMiss(faces, set, firstFace, kept, options, progress, laid);
  layout.charts = set.count();  // as laid out last: a mesh raised has its small charts apart
  layout.texelsPerUnit = set.count() == 0 ? 0.0 : laid.density;
  layout.coveredShare = laid.coveredShare;
  layout.snappedVertices = laid.snappedVertices;
  progress(0.97);
  countUnsampled(faces, set.charts, laid.points, options.size, layout);
  handOut(meshes, set.charts, laid.points, layout);
  for (std::size_t m = 0; m < meshes.size(); ++m) layout.meshes[m].texelsPerUnit = layout.texelsPerUnit * meshRaise[m];
  progress(1.0);
  return {};
}

}  // namespace

}  // namespace uv

Result generateLightmapUvs(std::span<const MeshArrays> meshes, const LayoutOptions& options, GeneratedLayout& layout,
                           std::span<const MeshArrays> kept) noexcept {
  if (const Result checked = uv::checkOptions(options); !checked) return checked;
  return guarded([&]() -> Result {
    std::vector<SampledMesh> described, keptDescribed;
    MeshNeeds positionsOnly;
    positionsOnly.normals = positionsOnly.lightmapUvs = false;
    if (const Result result = describeMeshes(meshes, described, positionsOnly); !result) return result;
    MeshNeeds uvs;
    uvs.normals = false;
    if (Result result = describeMeshes(kept, keptDescribed, uvs); !result) {
      result.problem = "kept: the arrays of a kept mesh do not fit";
      return result;
    }
    GeneratedLayout generated;
    try {
      const Result result = uv::generate(described, keptDescribed, options, generated);
      if (result.status == Status::DoesNotFit) layout.charts = generated.charts;
      if (!result) return result;
    } catch (const uv::Stopped&) {
      return cancelled();
    }
    layout = std::move(generated);
    return {};
  });
}

}  // namespace lumivex
