// Generated lightmap layouts, stage by stage: the faces welded by position,
// grown into charts, each chart turned to its smallest rectangle and cut if
// far longer than wide, the charts packed by their shapes at the largest
// density that fits, small faces given texel corners, and the lightmap points
// handed back per mesh.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <map>
#include <numeric>

#include <lumivex/layout.h>

#include "api/guarded.h"
#include "layout/texel_corners.h"
#include "math/processor_count.h"
#include "sampling/mesh_arrays.h"
#include "uv/chart_shapes.h"
#include "uv/faces.h"
#include "uv/packing.h"
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
  std::size_t threads = 1;

  std::size_t count() const { return shapes.size(); }

  // A chart's face corners in texels from its cell's origin, at density
  // `at`. A chart under two texels across is moved by less than a texel so
  // that the centre of its first (largest) face lies on a texel corner: the
  // sampler then samples that face there, however the corners round.
  std::vector<Triangle2> localTexels(std::size_t c, double at) const {
    const std::vector<Triangle2>& laid = inRectangle[c];
    double shiftX = 0, shiftY = 0;
    if (isTiny(shapes[c], at)) {
      const Triangle2& first = laid.front();
      const Vec2 anchor = {(first[0].x + first[1].x + first[2].x) / 3, (first[0].y + first[1].y + first[2].y) / 3};
      shiftX = std::ceil(anchor.x * at) - anchor.x * at;
      shiftY = std::ceil(anchor.y * at) - anchor.y * at;
    }
    std::vector<Triangle2> local(laid.size());
    for (std::size_t i = 0; i < laid.size(); ++i) {
      for (std::size_t k = 0; k < 3; ++k) {
        local[i][k] = {std::max(shiftX + laid[i][k].x * at, 0.0), std::max(shiftY + laid[i][k].y * at, 0.0)};
      }
    }
    return local;
  }
};

// Turns chart c to its rectangle, judging long thin faces at `tiltDensity`,
// and lays its faces' corners in it.
void shapeChart(ChartSet& set, std::size_t c, double tiltDensity) {
  set.shapes[c] = shapeOf(set.charts, c, set.count() == 1, tiltDensity);
  std::vector<Triangle2>& laid = set.inRectangle[c];
  laid.clear();
  for (std::uint32_t i = set.charts.faceStart[c]; i < set.charts.faceStart[c + 1]; ++i) {
    Triangle2& t = laid.emplace_back();
    for (std::size_t k = 0; k < 3; ++k) t[k] = inRectangle(set.shapes[c], set.charts.flat[set.charts.faces[i]][k]);
  }
}

ChartSet makeCharts(const Faces& faces, const LayoutOptions& options, const std::function<void(double)>& progress) {
  // The density if the charts covered half the square, to judge their sizes by.
  const double surface = std::accumulate(faces.areas.begin(), faces.areas.end(), 0.0);
  const double expectedDensity = surface > 0 ? options.size * std::sqrt(0.5 / surface) : 1.0;
  ChartSet set;
  set.threads = threadsFor(options.threads);
  set.charts = splitLongCharts(growCharts(faces, options.maxChartAngle, progress), expectedDensity, options.padding);
  const std::size_t count = set.charts.faceStart.size() - 1;
  set.shapes.resize(count);
  set.inRectangle.resize(count);
  forEachInParallel(count, set.threads, [&](std::size_t c) { shapeChart(set, c, expectedDensity); });
  return set;
}

// Shapes the charts again for the density found, where a long chart with
// faces under a texel across there was not turned to climb across the rows
// (the density expected at first was higher); true when any was.
bool reshapeForDensity(ChartSet& set, double density) {
  std::vector<char> changed(set.count(), 0);
  forEachInParallel(set.count(), set.threads, [&](std::size_t c) {
    if (set.shapes[c].climbs || !shapeOf(set.charts, c, set.count() == 1, density).climbs) return;
    shapeChart(set, c, density);
    changed[c] = 1;
  });
  return std::any_of(changed.begin(), changed.end(), [](char c) { return c != 0; });
}

// The density at which the charts' rectangles pack, from the density at
// which they alone would fill the square: an estimate to start from.
double rectangleDensity(const ChartSet& set, const LayoutOptions& options,
                        const std::function<void(double)>& progress) {
  double rectangles = 0;
  for (const ChartShape& shape : set.shapes) rectangles += shape.width * shape.height;
  std::vector<std::uint32_t> order(set.count());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    if (set.shapes[a].height != set.shapes[b].height) return set.shapes[a].height > set.shapes[b].height;
    if (set.shapes[a].width != set.shapes[b].width) return set.shapes[a].width > set.shapes[b].width;
    return a < b;
  });
  std::vector<Placement> trial;
  const double free = static_cast<double>(options.size - options.padding);
  return largestFittingDensity(
      rectangles > 0 ? free / std::sqrt(rectangles) : 1.0, 0.0, 1.002,
      [&](double at) { return pack(set.shapes, order, at, options.size, options.padding, trial); },
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
  turns.cells[0] = cellsOf(set.localTexels(c, at));
  for (std::size_t k = 1; k < 4; ++k) turns.cells[k] = turned(turns.cells[k - 1]);
  for (std::size_t k = 0; k < 4; ++k) turns.wide[k] = widened(turns.cells[k], padding);
  return turns;
}

// Packs the charts by their shapes at density `at`, in `order`, clear of
// `taken`; false when one does not fit. Each goes in the quarter turn whose
// place is best by `rule`.
bool packShapes(const ChartSet& set, const std::vector<std::uint32_t>& order, PlaceRule rule, const Atlas& taken,
                const LayoutOptions& options, double at, std::vector<Placement>& out) {
  const std::int32_t size = options.size, padding = options.padding;
  std::vector<TurnedCells> turns(set.count());
  forEachInParallel(set.count(), set.threads, [&](std::size_t c) { turns[c] = turnedCells(set, c, at, padding); });
  Atlas atlas = taken;
  out.assign(set.count(), {});
  // Where the last small chart of each width, height and turn went: cells are
  // only ever taken, so the next one alike starts looking there (many models
  // have thousands of small charts alike).
  std::map<std::array<std::int32_t, 3>, std::int32_t> lastRowOfSize;
  for (std::uint32_t c : order) {
    std::array<PlaceCandidate, 4> candidates{};
    std::array<std::int32_t, 4> unshared{};  // where large charts keep nothing
    std::array<std::int32_t*, 4> lastRows{};
    std::size_t count = 0;
    for (std::int32_t k = 0; k < 4; ++k) {
      const CellImage& cells = turns[c].cells[static_cast<std::size_t>(k)];
      if (cells.width > size - 2 * padding || cells.height > size - 2 * padding) continue;
      const bool small = cells.width <= 64 && cells.height <= 64;
      lastRows[count] = small ? &lastRowOfSize[{cells.width, cells.height, k}] : &unshared[count];
      candidates[count] = {&cells, &turns[c].wide[static_cast<std::size_t>(k)], k, *lastRows[count]};
      ++count;
    }
    Placement best;
    if (!place(atlas, std::span(candidates.data(), count), size, padding, rule, best)) return false;
    for (std::size_t k = 0; k < count; ++k) *lastRows[k] = candidates[k].firstY;
    take(atlas, turns[c].cells[static_cast<std::size_t>(best.turns)], best);
    out[c] = best;
  }
  return true;
}

// The chart's face corners in texels from its cell's origin, turned as placed.
std::vector<Triangle2> placedTexels(const ChartSet& set, std::size_t c, double at, const Placement& placement) {
  std::vector<Triangle2> local = set.localTexels(c, at);
  CellImage cells = cellsOf(local);
  for (std::int32_t k = 0; k < placement.turns; ++k) {
    for (Triangle2& t : local) {
      for (Vec2& p : t) p = turnedPoint(p, cells.height);
    }
    cells = turned(cells);
  }
  return local;
}

// The order charts are packed in, largest first by some measure of their
// rectangles.
enum class ChartOrder { Area, LongestSide };

std::vector<std::uint32_t> chartOrder(const ChartSet& set, ChartOrder by) {
  const auto measure = [&](std::uint32_t c) {
    const ChartShape& shape = set.shapes[c];
    return by == ChartOrder::LongestSide ? std::max(shape.width, shape.height) : shape.width * shape.height;
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

// Densities are searched to within 0.2 %: a covered share within 0.4 % of
// the best this packing finds, for a few more trials.
constexpr double kDensityTolerance = 1.002;
// Another way of packing is first asked at 1 % above the density found:
// where it does better, it mostly does so by more than that.
constexpr double kRaiseStep = 1.01;

// The density and the places of the charts. The first way: from the
// rectangles' estimate, up by steps while they fit, down by halves while they
// do not (around kept layouts the estimate is too high), then bisection. The
// other ways, side by side on the threads, each only above the density the
// first found; the densest wins. Or, at the caller's density, the first way
// that fits. 0 when nothing fits.
double packCharts(const ChartSet& set, std::span<const SampledMesh> kept, const LayoutOptions& options,
                  const std::function<void(double)>& progress, std::vector<Placement>& placements) {
  std::size_t takenCells = 0;
  const Atlas taken = keptCells(kept, options.size, takenCells);
  const auto fitsWay = [&](const PackingWay& way, const std::vector<std::uint32_t>& order, double at,
                           std::vector<Placement>& placed, std::vector<Placement>& trial) {
    if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) return false;
    if (!packShapes(set, order, way.rule, taken, options, at, trial)) return false;
    placed.swap(trial);
    return true;
  };
  std::vector<Placement> trial;
  if (options.texelsPerUnit > 0) {
    for (const PackingWay& way : kPackingWays) {
      if (fitsWay(way, chartOrder(set, way.order), options.texelsPerUnit, placements, trial)) {
        return options.texelsPerUnit;
      }
    }
    progress(0.9);  // a cancelled packing is not one that does not fit: this throws
    return 0.0;
  }
  const double estimate = rectangleDensity(set, options, progress);
  if (!(estimate > 0)) return 0;
  const double size = options.size;
  const double freeShare = 1.0 - static_cast<double>(takenCells) / (size * size);
  const std::vector<std::uint32_t> first = chartOrder(set, kPackingWays[0].order);
  const double density = largestFittingDensity(
      estimate * std::sqrt(std::max(freeShare, 1e-6)), 1.15, kDensityTolerance,
      [&](double at) { return fitsWay(kPackingWays[0], first, at, placements, trial); },
      [&](int step) { progress(0.75 + 0.1 * std::min(step, 10) / 10.0); });
  if (!(density > 0)) return 0;
  constexpr std::size_t kOthers = kPackingWays.size() - 1;
  std::array<double, kOthers> raised{};
  std::array<std::vector<Placement>, kOthers> placedBy;
  forEachInParallel(kOthers, set.threads, [&](std::size_t w) {
    const PackingWay& way = kPackingWays[w + 1];
    const std::vector<std::uint32_t> order = chartOrder(set, way.order);
    std::vector<Placement> scratch;
    raised[w] = raisedDensity(density, kRaiseStep, kDensityTolerance,
                              [&](double at) { return fitsWay(way, order, at, placedBy[w], scratch); });
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
  const float inside = lightmapCoordinate(options.padding, size);  // a face touching no chart
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

Result generate(std::span<const SampledMesh> meshes, std::span<const SampledMesh> kept, const LayoutOptions& options,
                GeneratedLayout& layout) {
  const std::function<void(double)> progress = progressFor(options);
  const Faces faces = collectFaces(meshes, threadsFor(options.threads));
  ChartSet set = makeCharts(faces, options, progress);
  layout.charts = set.count();
  std::vector<Placement> placements;
  double density = set.count() == 0 ? 1.0 : packCharts(set, kept, options, progress, placements);
  if (density > 0 && set.count() > 0 && reshapeForDensity(set, density)) {
    density = packCharts(set, kept, options, progress, placements);
  }
  if (!(density > 0)) return {Status::DoesNotFit, "the charts do not fit the lightmap with the padding"};
  layout.texelsPerUnit = set.count() == 0 ? 0.0 : density;
  std::vector<std::array<LightmapPoint, 3>> points =
      lightmapPoints(faces, set, placements, density, options, layout.coveredShare);
  ChartCells cells;
  cells.placements = placements;
  for (std::size_t c = 0; c < set.count(); ++c) cells.images.push_back(cellsOf(placedTexels(set, c, density, placements[c])));
  layout.snappedVertices = snapToTexelCorners(faces, set.charts, options.size, cells, set.threads, points);
  progress(0.97);
  countUnsampled(faces, set.charts, points, options.size, layout);
  handOut(meshes, set.charts, points, layout);
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
