#include "sampling/rasteriser.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "math/kernel.h"
#include "math/kernel_dispatch.h"
#include "math/little_endian.h"
#include "math/processor_count.h"
#include "sampling/corner_range.h"
#include "sampling/triangle_tests.h"

namespace lumivex {

namespace {

constexpr std::size_t kPositionBytes = 12;
constexpr std::size_t kNormalBytes = 12;
constexpr std::size_t kLightmapUvBytes = 8;

// Twice the signed area (differences and products in double from the
// single-precision corners). A triangle of exactly zero area passes every
// inside test and divides by a zero height.
double doubleArea(const Vector3& t0, const Vector3& t1, const Vector3& t2) {
  return (double{t1.x} - double{t0.x}) * (double{t2.y} - double{t0.y}) -
         (double{t1.y} - double{t0.y}) * (double{t2.x} - double{t0.x});
}

// Of finite values: compiled to minss and maxss.
float smallest(float a, float b, float c) {
  const float ab = a < b ? a : b;
  return ab < c ? ab : c;
}
float largest(float a, float b, float c) {
  const float ab = a > b ? a : b;
  return ab > c ? ab : c;
}

// What laying out a triangle found.
enum class Layout {
  Degenerate,  // a non-finite corner or zero area: writes nothing
  NoCorner,    // no texel corner can pass: nothing to visit
  Ready,
};

// The rows a worker takes: stripes of kStripeRows rows dealt round the
// workers, so that a large triangle's rows are shared out evenly while a
// small one's mostly fall to one worker. Workers never share a row, so they
// share no texel and no word of the settled bits. The count of workers is a
// power of two, so that dealing takes no division.
struct Band {
  static constexpr std::int32_t kStripeShift = 3;  // stripes of 8 rows
  static constexpr std::int32_t kStripeRows = 1 << kStripeShift;
  std::int32_t count = 1;
  std::int32_t index = 0;

  bool owns(std::int32_t row) const { return ((row >> kStripeShift) & (count - 1)) == index; }
  // The first row from `row` on that this band owns.
  std::int32_t nextOwned(std::int32_t row) const {
    if (count == 1) return row;
    const std::int32_t stripe = row >> kStripeShift;
    const std::int32_t ahead = (index - stripe) & (count - 1);
    return ahead == 0 ? row : (stripe + ahead) << kStripeShift;
  }
  bool ownsAnyOf(ScanRange rows) const { return rows.first <= rows.last && nextOwned(rows.first) <= rows.last; }
};

}  // namespace

// Which texels already hold their final sample: one bit per texel, row by
// row, and for each band how many of its texels are still open. A second
// level of bits marks, for each row, the words with an open texel, so that
// scanning the settled stretches of a row costs little: late in a run of
// large overlapping triangles, most are.
class SettledTexels {
 public:
  SettledTexels(LightmapSize size, std::int32_t bands)
      : wordsPerRow_(static_cast<std::size_t>(size + 63) / 64),
        summariesPerRow_((wordsPerRow_ + 63) / 64),
        words_(wordsPerRow_ * static_cast<std::size_t>(size), 0),
        summaries_(summariesPerRow_ * static_cast<std::size_t>(size), 0),
        unsettled_(static_cast<std::size_t>(bands), 0) {
    const std::size_t tail = static_cast<std::size_t>(size) % 64;
    for (std::int32_t row = 0; row < size; ++row) {
      unsettled_[static_cast<std::size_t>((row >> Band::kStripeShift) & (bands - 1))] += static_cast<std::size_t>(size);
      const std::size_t first = static_cast<std::size_t>(row) * wordsPerRow_;
      // Columns past the grid count as settled, so that a full word is all ones.
      if (tail != 0) words_[first + wordsPerRow_ - 1] = ~std::uint64_t{0} << tail;
      for (std::size_t w = 0; w < wordsPerRow_; ++w) {
        summaries_[static_cast<std::size_t>(row) * summariesPerRow_ + w / 64] |= std::uint64_t{1} << (w % 64);
      }
    }
  }

  bool allSettled(const Band& band) const { return unsettled_[static_cast<std::size_t>(band.index)] == 0; }
  bool isSettled(std::int32_t col, std::int32_t row) const {
    return (words_[wordIndex(col, row)] >> (col & 63) & 1u) != 0;
  }
  bool allSettled() const {
    return std::all_of(unsettled_.begin(), unsettled_.end(), [](std::size_t open) { return open == 0; });
  }
  void settle(std::int32_t col, std::int32_t row, const Band& band) {
    std::uint64_t& word = words_[wordIndex(col, row)];
    word |= std::uint64_t{1} << (col & 63);
    if (word == ~std::uint64_t{0}) {
      const std::size_t w = static_cast<std::size_t>(col) / 64;
      summaries_[static_cast<std::size_t>(row) * summariesPerRow_ + w / 64] &= ~(std::uint64_t{1} << (w % 64));
    }
    --unsettled_[static_cast<std::size_t>(band.index)];
  }
  // The unsettled columns of [first, last] in one row, lowest first.
  template <typename Visit>
  void forEachUnsettled(std::int32_t row, ScanRange cols, Visit&& visit) const {
    if (cols.first > cols.last) return;
    const std::size_t firstWord = static_cast<std::size_t>(cols.first) / 64;
    const std::size_t lastWord = static_cast<std::size_t>(cols.last) / 64;
    const std::uint64_t* summary = &summaries_[static_cast<std::size_t>(row) * summariesPerRow_];
    for (std::size_t s = firstWord / 64; s <= lastWord / 64; ++s) {
      std::uint64_t openWords = summary[s];
      if (s == firstWord / 64) openWords &= ~std::uint64_t{0} << (firstWord % 64);
      if (s == lastWord / 64 && lastWord % 64 < 63) openWords &= ~(~std::uint64_t{0} << (lastWord % 64 + 1));
      while (openWords != 0) {
        const std::size_t w = s * 64 + static_cast<std::size_t>(std::countr_zero(openWords));
        openWords &= openWords - 1;
        const auto base = static_cast<std::int32_t>(w * 64);
        std::uint64_t open = ~words_[static_cast<std::size_t>(row) * wordsPerRow_ + w];
        if (cols.first > base) open &= ~std::uint64_t{0} << (cols.first - base);
        if (cols.last - base < 63) open &= ~(~std::uint64_t{0} << (cols.last - base + 1));
        while (open != 0) {
          visit(base + std::countr_zero(open));
          open &= open - 1;
        }
      }
    }
  }

 private:
  std::size_t wordIndex(std::int32_t col, std::int32_t row) const {
    return static_cast<std::size_t>(row) * wordsPerRow_ + static_cast<std::size_t>(col) / 64;
  }
  std::size_t wordsPerRow_;
  std::size_t summariesPerRow_;
  std::vector<std::uint64_t> words_;
  std::vector<std::uint64_t> summaries_;  // bit w of a row's summary: word w has an open texel
  std::vector<std::size_t> unsettled_;    // one count per band, each written by its own worker only
};

namespace {

// One triangle laid into texel space, with everything that does not depend on
// the texel computed once, and only once it is needed. Sampling a texel gives
// exactly the bits of pointInTriangle, barycentricWeights, barycentricCombine
// and normaliseVector3 applied to it one by one (texel space is the plane
// z = 0, so the in-plane forms of the tests apply).
class TexelTriangle {
 public:
  // `rule`: which corners are visited; null visits the whole scan range (tests).
  explicit TexelTriangle(const CornerRule* rule = &kCornerRule) : rule_(rule) {}

  // Lays out a new triangle in this object, dropping the last one. One object
  // serves a whole run of triangles, so nothing is built per triangle.
  Layout layOut(const SampledMesh& mesh, const std::array<std::size_t, 3>& vertices, LightmapSize size,
               const Band& band = {}) {
    const float s = static_cast<float>(size);
    const AttributeArray& uvs = mesh.lightmapUvs;
    if (uvs.present >= kLightmapUvBytes) [[likely]] {
      const std::uint8_t* uv0 = uvs.base + vertices[0] * uvs.stride;
      const std::uint8_t* uv1 = uvs.base + vertices[1] * uvs.stride;
      const std::uint8_t* uv2 = uvs.base + vertices[2] * uvs.stride;
      const bool file = mesh.fileByteOrder;
      corners_[0] = {s * loadFloat(uv0, file), s * loadFloat(uv0 + 4, file), 0.0f};
      corners_[1] = {s * loadFloat(uv1, file), s * loadFloat(uv1 + 4, file), 0.0f};
      corners_[2] = {s * loadFloat(uv2, file), s * loadFloat(uv2 + 4, file), 0.0f};
    } else {
      for (std::size_t k = 0; k < 3; ++k) {
        corners_[k] = {s * componentAt(uvs, vertices[k], 0, mesh.fileByteOrder),
                       s * componentAt(uvs, vertices[k], 1, mesh.fileByteOrder), 0.0f};
      }
    }
    const auto& [t0, t1, t2] = corners_;
    if (rule_ != nullptr && withinLimit(*rule_)) [[likely]] {
      // Finite, and small enough for the corner rule: most triangles.
      const float minX = smallest(t0.x, t1.x, t2.x), maxX = largest(t0.x, t1.x, t2.x);
      const float minY = smallest(t0.y, t1.y, t2.y), maxY = largest(t0.y, t1.y, t2.y);
      const double area2 = doubleArea(t0, t1, t2);
      if (area2 == 0.0) return Layout::Degenerate;
      CornerBounds bounds;
      if (cornersThatCanPass(t0, t1, t2, area2, minX, maxX, minY, maxY, *rule_, bounds)) {
        // Within the scan range already, but for the grid's edges.
        cols_ = {std::max(bounds.firstCol, 0), std::min(bounds.lastCol, size - 1)};
        rows_ = {std::max(bounds.firstRow, 0), std::min(bounds.lastRow, size - 1)};
        if (cols_.first > cols_.last || !band.ownsAnyOf(rows_)) return Layout::NoCorner;
      } else {
        cols_ = scanRange(minX, maxX, size);
        rows_ = scanRange(minY, maxY, size);
        if (!band.ownsAnyOf(rows_)) return Layout::NoCorner;
      }
    } else {
      if (!(std::isfinite(t0.x) && std::isfinite(t0.y) && std::isfinite(t1.x) && std::isfinite(t1.y) &&
            std::isfinite(t2.x) && std::isfinite(t2.y))) {
        return Layout::Degenerate;
      }
      const double area2 = doubleArea(t0, t1, t2);
      if (area2 == 0.0) return Layout::Degenerate;
      cols_ = scanRange(std::min(std::min(t0.x, t1.x), t2.x), std::max(std::max(t0.x, t1.x), t2.x), size);
      rows_ = scanRange(std::min(std::min(t0.y, t1.y), t2.y), std::max(std::max(t0.y, t1.y), t2.y), size);
      if (!band.ownsAnyOf(rows_)) return Layout::NoCorner;
    }
    mesh_ = &mesh;
    vertices_ = vertices;
    sidesReady_ = false;
    blendReady_ = false;
    return Layout::Ready;
  }

  ScanRange cols() const { return cols_; }
  ScanRange rows() const { return rows_; }

 private:
  // Every corner coordinate within the rule's limit (false for NaN and
  // infinities). Comparisons combined without branches: this runs for every triangle.
  bool withinLimit(const CornerRule& rule) const {
    const auto limit = static_cast<float>(rule.coordinateLimit);
    const auto& [t0, t1, t2] = corners_;
    return (static_cast<int>(std::fabs(t0.x) <= limit) & static_cast<int>(std::fabs(t0.y) <= limit) &
            static_cast<int>(std::fabs(t1.x) <= limit) & static_cast<int>(std::fabs(t1.y) <= limit) &
            static_cast<int>(std::fabs(t2.x) <= limit) & static_cast<int>(std::fabs(t2.y) <= limit)) != 0;
  }

 public:

  // pointInTriangle for the texel's corner point, its three tests in its order.
  bool covers(std::int32_t col, std::int32_t row) {
    if (!sidesReady_) {
      const auto& [t0, t1, t2] = corners_;
      sides_ = {planarSideTest(t0, t1, t2), planarSideTest(t1, t0, t2), planarSideTest(t2, t0, t1)};
      sidesReady_ = true;
      termsRow_ = -1;
    }
    if (row != termsRow_) {
      const float y = static_cast<float>(row);
      for (std::size_t k = 0; k < 3; ++k) rowTerms_[k] = sideRowTerm(sides_[k], y);
      termsRow_ = row;
    }
    const float x = static_cast<float>(col);
    return onReferenceSideInRow(sides_[0], rowTerms_[0], x) && onReferenceSideInRow(sides_[1], rowTerms_[1], x) &&
           onReferenceSideInRow(sides_[2], rowTerms_[2], x);
  }

  // Stores the texel's sample in `cell` and returns true when its corner point
  // is covered with finite weights; otherwise leaves the cell alone.
  bool sample(std::int32_t col, std::int32_t row, Sample& cell) {
    if (!covers(col, row)) return false;
    if (!blendReady_) {
      blend_ = prepareBlend();
      blendReady_ = true;
    }
    const Blend& blend = blend_;

    // w1 and w2 as barycentricWeights forms them.
    const float x = static_cast<float>(col);
    const float y = static_cast<float>(row);
    const float w1 = static_cast<float>(distanceFromLineInPlane(blend.edge02, x, y) / double{blend.height1});
    const float w2 = static_cast<float>(distanceFromLineInPlane(blend.edge01, x, y) / double{blend.height2});
    if (!std::isfinite(w1) || !std::isfinite(w2)) return false;

    barycentricCombine(&cell.position, &blend.positions[0], &blend.positions[1], &blend.positions[2], w1, w2);
    barycentricCombine(&cell.normal, &blend.normals[0], &blend.normals[1], &blend.normals[2], w1, w2);
    normaliseVector3(&cell.normal, &cell.normal);
    return true;
  }

 private:
  // What the weights and the blend need: kernel calls and vertex reads that
  // wait for the first covered texel.
  struct Blend {
    MeasuredLine edge02;  // from V0 to V2: w1 is the distance from it over V1's height
    MeasuredLine edge01;  // from V0 to V1: w2 likewise with V2
    float height1;
    float height2;
    std::array<Vector3, 3> positions;
    std::array<Vector3, 3> normals;
  };

  Blend prepareBlend() const {
    const auto& [t0, t1, t2] = corners_;
    Blend blend{measuredLine(t0, t2), measuredLine(t0, t1), 0.0f, 0.0f, {}, {}};
    blend.height1 = static_cast<float>(distanceFromLineInPlane(blend.edge02, t1.x, t1.y));
    blend.height2 = static_cast<float>(distanceFromLineInPlane(blend.edge01, t2.x, t2.y));
    for (std::size_t k = 0; k < 3; ++k) {
      blend.positions[k] = vectorAt(mesh_->positions, vertices_[k], mesh_->fileByteOrder);
      blend.normals[k] = vectorAt(mesh_->normals, vertices_[k], mesh_->fileByteOrder);
    }
    return blend;
  }

  const CornerRule* rule_;
  const SampledMesh* mesh_ = nullptr;
  std::array<std::size_t, 3> vertices_{};
  std::array<Vector3, 3> corners_{};
  ScanRange cols_{0, -1};
  ScanRange rows_{0, -1};
  bool sidesReady_ = false;
  std::array<PlanarSideTest, 3> sides_{};
  std::int32_t termsRow_ = -1;
  std::array<double, 3> rowTerms_{};
  bool blendReady_ = false;
  Blend blend_{};
};

}  // namespace

// Shares out progress reports and the cancel flag among the workers. Each
// counts the triangles it visits in batches (where workers split the rows,
// only the first counts, as each visits every triangle); one of them reports,
// and each learns whether to stop.
class WorkTracker {
 public:
  static constexpr std::size_t kBatch = 4096;

  WorkTracker(std::size_t total, const RasteriseOptions& options) : total_(total), options_(options) {}

  // Counts `triangles` more as done; false when the work is to stop.
  bool advance(std::size_t triangles, bool counting, bool reporting) {
    if (options_.cancel != nullptr && options_.cancel->load(std::memory_order_relaxed)) stop();
    if (counting) done_.fetch_add(triangles, std::memory_order_relaxed);
    if (reporting) {
      const std::size_t done = done_.load(std::memory_order_relaxed);
      const double fraction = static_cast<double>(std::min(done, total_)) / static_cast<double>(total_);
      if (options_.progress && !stopped() && fraction >= lastReported_ + 0.01 && fraction < 1.0) {
        lastReported_ = fraction;
        report(fraction);
      }
    }
    return !stopped();
  }
  // The last report, from the calling thread once every worker is done.
  void finish() {
    if (!stopped() && options_.progress) report(1.0);
  }
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

 private:
  void stop() { stopped_.store(true, std::memory_order_relaxed); }
  void report(double fraction) {
    try {
      options_.progress(fraction);
    } catch (...) {
      stop();  // a callback that throws stops the work
    }
  }

  std::size_t total_;
  const RasteriseOptions& options_;
  std::atomic<std::size_t> done_{0};
  double lastReported_ = 0.0;  // the reporting worker's alone
  std::atomic<bool> stopped_{false};
};

namespace {

// Where sampled texels go: straight into the grid, or, for a worker whose
// samples may yet be overruled by a later one, into a list kept aside.
struct GridSink {
  SampleGrid& grid;
  Sample& cell(std::int32_t col, std::int32_t row) { return grid.at(col, row); }
  void keep(std::int32_t, std::int32_t) {}
};

struct KeptSample {
  std::int32_t col;
  std::int32_t row;
  Sample sample;
};

struct ListSink {
  std::vector<KeptSample>& kept;
  Sample scratch{};
  Sample& cell(std::int32_t, std::int32_t) { return scratch; }
  void keep(std::int32_t col, std::int32_t row) { kept.push_back({col, row, scratch}); }
};

// Position of a triangle in the run: mesh, then triangle within it.
struct TrianglePosition {
  std::size_t mesh;
  std::size_t triangle;
};

// Rasterises the triangles from `begin` up to (not including) `end`, last
// first, into the rows of `band`, settling each texel at the last triangle
// that stores a sample there. False when the work was stopped.
template <typename Sink>
bool rasteriseStretch(std::span<const SampledMesh> meshes, TrianglePosition begin, TrianglePosition end,
                      LightmapSize size, Sink& sink, SettledTexels& settled, WorkTracker& tracker, const Band& band,
                      bool counting, bool reporting) {
  TexelTriangle triangle;
  std::size_t sinceReport = 0;
  std::size_t left = 0;  // triangles not yet visited, counted as done if the work settles early
  for (std::size_t m = begin.mesh; m < meshes.size() && m <= end.mesh; ++m) {
    const std::size_t from = m == begin.mesh ? begin.triangle : 0;
    const std::size_t to = m == end.mesh ? end.triangle : meshes[m].triangleCount;
    if (to > from) left += to - from;
  }
  for (std::size_t m = std::min(end.mesh + 1, meshes.size()); m-- > begin.mesh && !settled.allSettled(band);) {
    const SampledMesh& mesh = meshes[m];
    const std::size_t from = m == begin.mesh ? begin.triangle : 0;
    const std::size_t to = m == end.mesh ? end.triangle : mesh.triangleCount;
    for (std::size_t t = to; t-- > from;) {
      --left;
      if (++sinceReport == WorkTracker::kBatch) {
        if (!tracker.advance(sinceReport, counting, reporting)) return false;
        sinceReport = 0;
        if (settled.allSettled(band)) break;
      }
      const std::array<std::size_t, 3> vertices = {indexAt(mesh, 3 * t), indexAt(mesh, 3 * t + 1),
                                                   indexAt(mesh, 3 * t + 2)};
      if (vertices[0] >= mesh.vertexCount || vertices[1] >= mesh.vertexCount || vertices[2] >= mesh.vertexCount) {
        continue;
      }
      if (triangle.layOut(mesh, vertices, size, band) != Layout::Ready) continue;
      const ScanRange rows = triangle.rows();
      const ScanRange cols = triangle.cols();
      for (std::int32_t row = band.nextOwned(rows.first); row <= rows.last; row = band.nextOwned(row + 1)) {
        settled.forEachUnsettled(row, cols, [&](std::int32_t col) {
          if (triangle.sample(col, row, sink.cell(col, row))) {
            settled.settle(col, row, band);
            sink.keep(col, row);
          }
        });
      }
      if (settled.allSettled(band)) break;
    }
  }
  return tracker.advance(sinceReport + left, counting, reporting);
}

TrianglePosition positionOf(std::span<const SampledMesh> meshes, std::size_t ordinal) {
  std::size_t mesh = 0;
  while (mesh < meshes.size() && ordinal >= meshes[mesh].triangleCount) {
    ordinal -= meshes[mesh].triangleCount;
    ++mesh;
  }
  return {mesh, ordinal};
}

// Below this much work a second worker costs more than it saves: a unit is a
// triangle, or eight texels of the grid.
constexpr std::size_t kWorkPerExtraWorker = std::size_t{1} << 15;

}  // namespace

namespace {

// The sampler's 40-byte view of records of `recordSize` bytes at `records`:
// each attribute is present only as far as the record reaches.
SampledMesh viewOfRecords(const std::uint8_t* records, std::size_t recordSize, std::size_t vertexCount,
                          bool fileByteOrder) {
  const auto attribute = [&](std::size_t offset, std::size_t bytes) {
    AttributeArray array;
    array.stride = recordSize;
    array.present = recordSize > offset ? std::min(bytes, recordSize - offset) : 0;
    array.base = array.present > 0 && records != nullptr ? records + offset : records;
    return array;
  };
  SampledMesh mesh;
  mesh.positions = attribute(offsetof(Vertex, position), kPositionBytes);
  mesh.normals = attribute(offsetof(Vertex, normal), kNormalBytes);
  mesh.lightmapUvs = attribute(offsetof(Vertex, lightmapU), kLightmapUvBytes);
  mesh.fileByteOrder = fileByteOrder;
  mesh.vertexCount = vertexCount;
  return mesh;
}

// Runs `visit` on the one triangle made of three native records.
template <typename Visit>
void withTriangle(const Vertex& v0, const Vertex& v1, const Vertex& v2, LightmapSize size, const CornerRule* rule,
                  Visit&& visit) {
  const Vertex corners[3] = {v0, v1, v2};
  const SampledMesh mesh =
      viewOfRecords(reinterpret_cast<const std::uint8_t*>(corners), sizeof(Vertex), 3, false);
  TexelTriangle triangle(rule);
  visit(triangle, triangle.layOut(mesh, {0, 1, 2}, size));
}

}  // namespace

ScanRange scanRange(float minimum, float maximum, LightmapSize size) {
  // Truncation toward zero is monotonic, so clamping in floating point first
  // gives exactly the in-grid part of trunc(min) .. trunc(max + 1.0).
  const double highest = static_cast<double>(size) - 1.0;
  double first = minimum;
  first = first < 0.0 ? 0.0 : first > highest + 1.0 ? highest + 1.0 : first;
  double last = static_cast<double>(maximum) + 1.0;
  last = last < -1.0 ? -1.0 : last > highest ? highest : last;
  return {static_cast<std::int32_t>(first), static_cast<std::int32_t>(last)};
}

SampledMesh sampledMeshOf(const MeshRecord& mesh) {
  if (mesh.vertexStride != kSampledVertexStride) return {};
  SampledMesh sampled = viewOfRecords(mesh.vertices.data(), mesh.recordBytes(),
                                      static_cast<std::size_t>(std::max(mesh.vertexCount, 0)), true);
  // The remainder takes the sign of indexCount, so any count below 3 gives n <= 0.
  const std::int32_t n = mesh.indexCount - mesh.indexCount % 3;
  sampled.triangleCount = n > 0 ? static_cast<std::size_t>(n / 3) : 0;
  sampled.indices16 = mesh.indices.data();
  return sampled;
}

SampledMesh sampledMeshInFileBytes(const MeshRecord& mesh, const std::uint8_t* records, const std::uint8_t* indices) {
  if (mesh.vertexStride != kSampledVertexStride) return {};
  SampledMesh sampled = viewOfRecords(records, static_cast<std::size_t>(mesh.vertexSize),
                                      static_cast<std::size_t>(std::max(mesh.vertexCount, 0)), true);
  const std::int32_t n = mesh.indexCount - mesh.indexCount % 3;
  sampled.triangleCount = n > 0 ? static_cast<std::size_t>(n / 3) : 0;
  sampled.fileIndices = indices;
  return sampled;
}

SampledMesh sampledMeshOf(std::span<const Vertex> vertices, std::span<const std::uint16_t> indices) {
  SampledMesh mesh =
      viewOfRecords(reinterpret_cast<const std::uint8_t*>(vertices.data()), sizeof(Vertex), vertices.size(), false);
  mesh.indices16 = indices.data();
  mesh.triangleCount = indices.size() / 3;
  return mesh;
}

void rasteriseTriangle(const Vertex& v0, const Vertex& v1, const Vertex& v2, LightmapSize size, SampleGrid& grid) {
  withTriangle(v0, v1, v2, size, &kCornerRule, [&](TexelTriangle& triangle, Layout layout) {
    if (layout != Layout::Ready) return;
    // Rows outer, columns inner; within one triangle the order changes nothing.
    for (std::int32_t row = triangle.rows().first; row <= triangle.rows().last; ++row) {
      for (std::int32_t col = triangle.cols().first; col <= triangle.cols().last; ++col) {
        triangle.sample(col, row, grid.at(col, row));
      }
    }
  });
}

void forEachCoveredTexel(const Vertex& v0, const Vertex& v1, const Vertex& v2, LightmapSize size,
                         const std::function<void(std::int32_t col, std::int32_t row)>& visit,
                         const CornerRule* rule) {
  withTriangle(v0, v1, v2, size, rule, [&](TexelTriangle& triangle, Layout layout) {
    if (layout != Layout::Ready) return;
    for (std::int32_t row = triangle.rows().first; row <= triangle.rows().last; ++row) {
      for (std::int32_t col = triangle.cols().first; col <= triangle.cols().last; ++col) {
        if (triangle.covers(col, row)) visit(col, row);
      }
    }
  });
}

bool isDegenerateInLightmap(const Vertex& v0, const Vertex& v1, const Vertex& v2, LightmapSize size) {
  // A triangle without a corner to visit is not degenerate: its area is there.
  bool degenerate = true;
  withTriangle(v0, v1, v2, size, nullptr,
               [&](TexelTriangle&, Layout layout) { degenerate = layout == Layout::Degenerate; });
  return degenerate;
}

bool rasteriseMeshRecords(std::span<const MeshRecord> meshes, LightmapSize size, SampleGrid& grid,
                          const RasteriseOptions& options) {
  std::vector<SampledMesh> sampled;
  sampled.reserve(meshes.size());
  for (const MeshRecord& mesh : meshes) sampled.push_back(sampledMeshOf(mesh));
  return rasteriseMeshes(sampled, size, grid, options);
}

std::size_t workersFor(std::size_t triangles, LightmapSize size, const RasteriseOptions& options) {
  if (options.exactThreads > 0) return options.exactThreads;
  const std::size_t work = triangles + static_cast<std::size_t>(size) * static_cast<std::size_t>(size) / 8;
  std::size_t workers = std::min({usableProcessorCount(), std::size_t{8}, 1 + work / kWorkPerExtraWorker});
  if (options.maxThreads > 0) workers = std::min(workers, options.maxThreads);
  return workers;
}

BackwardRasteriser::BackwardRasteriser(LightmapSize size, SampleGrid& grid, std::size_t workers,
                                       const RasteriseOptions& options, std::size_t totalTriangles)
    : size_(size),
      grid_(grid),
      // Many more triangles than texels: the work is per triangle, and the
      // workers split the triangles; otherwise per texel, and they split the rows.
      splitTriangles_(totalTriangles > static_cast<std::size_t>(size) * static_cast<std::size_t>(size) / 4),
      // Bands: a power of two, no more than the stripes of rows.
      workers_(static_cast<std::int32_t>(std::bit_floor(std::clamp<std::size_t>(
          workers, 1, static_cast<std::size_t>((size + Band::kStripeRows - 1) / Band::kStripeRows))))),
      settled_(std::make_unique<SettledTexels>(size, splitTriangles_ ? 1 : workers_)),
      tracker_(std::make_unique<WorkTracker>(std::max<std::size_t>(totalTriangles, 1), options)) {
  if (splitTriangles_) workers_ = static_cast<std::int32_t>(std::max<std::size_t>(workers, 1));
  if (workers_ > 1) initialiseKernelTable();  // once, before any thread calls the kernel
}

BackwardRasteriser::~BackwardRasteriser() = default;

bool BackwardRasteriser::allSettled() const { return settled_->allSettled(); }

bool BackwardRasteriser::rasterise(std::span<const SampledMesh> meshes) {
  std::size_t triangles = 0;
  for (const SampledMesh& mesh : meshes) triangles += mesh.triangleCount;
  const TrianglePosition end = {meshes.size(), 0};
  GridSink gridSink{grid_};
  if (workers_ == 1 || triangles < 2 * static_cast<std::size_t>(workers_)) {
    return rasteriseStretch(meshes, {0, 0}, end, size_, gridSink, *settled_, *tracker_, Band{}, true, true);
  }
  std::vector<char> completed(static_cast<std::size_t>(workers_), 0);
  if (!splitTriangles_) {
    // Each worker takes every triangle, in the rows of its band.
    onWorkers(static_cast<std::size_t>(workers_), [&](std::size_t index) {
      GridSink sink{grid_};
      const Band band{workers_, static_cast<std::int32_t>(index)};
      completed[index] =
          rasteriseStretch(meshes, {0, 0}, end, size_, sink, *settled_, *tracker_, band, index == 0, index == 0);
    });
    return std::all_of(completed.begin(), completed.end(), [](char done) { return done != 0; });
  }

  // Each worker takes a stretch of the triangles. The last stretch writes
  // into the grid; the others keep their samples aside, with texels settled
  // so far (by later runs) already counted as settled, and after them the
  // samples of texels no later stretch settled are moved into the grid.
  const auto stretches = static_cast<std::size_t>(workers_);
  std::vector<std::unique_ptr<SettledTexels>> settledAside(stretches - 1);
  std::vector<std::vector<KeptSample>> kept(stretches - 1);
  for (auto& copy : settledAside) copy = std::make_unique<SettledTexels>(*settled_);
  onWorkers(stretches, [&](std::size_t index) {
    const std::size_t stretch = stretches - 1 - index;  // worker 0 takes the last stretch
    const TrianglePosition from = positionOf(meshes, triangles * stretch / stretches);
    const TrianglePosition to = stretch + 1 == stretches ? end : positionOf(meshes, triangles * (stretch + 1) / stretches);
    if (stretch + 1 == stretches) {
      completed[index] = rasteriseStretch(meshes, from, to, size_, gridSink, *settled_, *tracker_, Band{}, true, true);
    } else {
      ListSink sink{kept[stretch]};
      completed[index] =
          rasteriseStretch(meshes, from, to, size_, sink, *settledAside[stretch], *tracker_, Band{}, true, false);
    }
  });
  if (!std::all_of(completed.begin(), completed.end(), [](char done) { return done != 0; })) return false;
  for (std::size_t stretch = stretches - 1; stretch-- > 0;) {
    for (const KeptSample& sample : kept[stretch]) {
      if (settled_->isSettled(sample.col, sample.row)) continue;
      grid_.at(sample.col, sample.row) = sample.sample;
      settled_->settle(sample.col, sample.row, Band{});
    }
  }
  return true;
}

bool BackwardRasteriser::finish() {
  tracker_->finish();
  return !tracker_->stopped();
}

bool rasteriseMeshes(std::span<const SampledMesh> meshes, LightmapSize size, SampleGrid& grid,
                     const RasteriseOptions& options) {
  std::size_t total = 0;
  for (const SampledMesh& mesh : meshes) total += mesh.triangleCount;
  BackwardRasteriser rasteriser(size, grid, workersFor(total, size, options), options, total);
  return rasteriser.rasterise(meshes) && rasteriser.finish();
}

}  // namespace lumivex
