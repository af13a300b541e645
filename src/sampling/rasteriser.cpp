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
#include "sampling/triangle_tests.h"

namespace lumivex {

namespace {

constexpr std::size_t kPositionBytes = 12;
constexpr std::size_t kNormalBytes = 12;
constexpr std::size_t kLightmapUvBytes = 8;

// Component c (a float) of vertex k's attribute; zero where the record ends
// before it.
float componentAt(const AttributeArray& attribute, std::size_t k, std::size_t c, bool fileByteOrder) {
  const std::uint8_t* bytes = attribute.base + k * attribute.stride + 4 * c;
  std::uint8_t partial[4] = {};
  if (4 * c + 4 > attribute.present) {
    if (4 * c < attribute.present) std::memcpy(partial, bytes, attribute.present - 4 * c);
    bytes = partial;
  }
  if (fileByteOrder) return little_endian::loadFloat(bytes);
  float value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

Vector3 vectorAt(const AttributeArray& attribute, std::size_t k, bool fileByteOrder) {
  return {componentAt(attribute, k, 0, fileByteOrder), componentAt(attribute, k, 1, fileByteOrder),
          componentAt(attribute, k, 2, fileByteOrder)};
}

std::size_t indexAt(const SampledMesh& mesh, std::size_t entry) {
  return mesh.indices16 != nullptr ? mesh.indices16[entry] : mesh.indices32[entry];
}

bool isFinite(const Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Exactly zero signed area (differences and products in double from the
// single-precision corners): such a triangle passes every inside test and
// divides by a zero height.
bool hasZeroArea(const Vector3& t0, const Vector3& t1, const Vector3& t2) {
  const double area = (double{t1.x} - double{t0.x}) * (double{t2.y} - double{t0.y}) -
                      (double{t1.y} - double{t0.y}) * (double{t2.x} - double{t0.x});
  return area == 0.0;
}

// Which texels already hold their final sample: one bit per texel, row by row.
class SettledTexels {
 public:
  explicit SettledTexels(LightmapSize size)
      : wordsPerRow_(static_cast<std::size_t>(size + 63) / 64),
        words_(wordsPerRow_ * static_cast<std::size_t>(size), 0),
        unsettled_(static_cast<std::size_t>(size) * static_cast<std::size_t>(size)) {}

  bool allSettled() const { return unsettled_ == 0; }
  bool isSettled(std::int32_t col, std::int32_t row) const {
    return (words_[wordIndex(col, row)] >> (col & 63) & 1u) != 0;
  }
  void settle(std::int32_t col, std::int32_t row) {
    words_[wordIndex(col, row)] |= std::uint64_t{1} << (col & 63);
    --unsettled_;
  }
  // The unsettled columns of [first, last] in one row, 64 at a time.
  template <typename Visit>
  void forEachUnsettled(std::int32_t row, ScanRange cols, Visit&& visit) const {
    for (std::int32_t base = cols.first & ~63; base <= cols.last; base += 64) {
      std::uint64_t open = ~words_[wordIndex(base, row)];
      if (cols.first > base) open &= ~std::uint64_t{0} << (cols.first - base);
      if (cols.last - base < 63) open &= ~(~std::uint64_t{0} << (cols.last - base + 1));
      while (open != 0) {
        visit(base + std::countr_zero(open));
        open &= open - 1;
      }
    }
  }

 private:
  std::size_t wordIndex(std::int32_t col, std::int32_t row) const {
    return static_cast<std::size_t>(row) * wordsPerRow_ + static_cast<std::size_t>(col) / 64;
  }
  std::size_t wordsPerRow_;
  std::vector<std::uint64_t> words_;
  std::size_t unsettled_;
};

// One triangle laid into texel space, with everything that does not depend on
// the texel computed once, and only once it is needed. Sampling a texel gives
// exactly the bits of pointInTriangle, barycentricWeights, barycentricCombine
// and normaliseVector3 applied to it one by one (texel space is the plane
// z = 0, so the in-plane forms of the tests apply).
class TexelTriangle {
 public:
  // Lays out a new triangle in this object, dropping the last one; false for
  // triangles that write nothing: a non-finite corner or zero area. One object
  // serves a whole run of triangles, so nothing is built per triangle.
  bool layOut(const SampledMesh& mesh, const std::array<std::size_t, 3>& vertices, LightmapSize size) {
    const float s = static_cast<float>(size);
    for (std::size_t k = 0; k < 3; ++k) {
      corners_[k] = {s * componentAt(mesh.lightmapUvs, vertices[k], 0, mesh.fileByteOrder),
                     s * componentAt(mesh.lightmapUvs, vertices[k], 1, mesh.fileByteOrder), 0.0f};
      if (!isFinite(corners_[k])) return false;
    }
    if (hasZeroArea(corners_[0], corners_[1], corners_[2])) return false;
    const auto& [t0, t1, t2] = corners_;
    mesh_ = &mesh;
    vertices_ = vertices;
    cols_ = scanRange(std::min({t0.x, t1.x, t2.x}), std::max({t0.x, t1.x, t2.x}), size);
    rows_ = scanRange(std::min({t0.y, t1.y, t2.y}), std::max({t0.y, t1.y, t2.y}), size);
    sidesReady_ = false;
    blendReady_ = false;
    return true;
  }

  ScanRange cols() const { return cols_; }
  ScanRange rows() const { return rows_; }

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

  // Stores the texel's sample and returns true when its corner point is
  // covered with finite weights; otherwise leaves the grid alone.
  bool sample(std::int32_t col, std::int32_t row, SampleGrid& grid) {
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

    Sample& cell = grid.at(col, row);
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

// Position of a triangle in the run's order: mesh, then triangle within it.
struct TrianglePosition {
  std::size_t mesh;
  std::size_t triangle;
};

// Shares out progress reports and the cancel flag among the workers: each
// reports its triangles in batches, and learns whether to stop.
class WorkTracker {
 public:
  static constexpr std::size_t kBatch = 4096;

  WorkTracker(std::size_t total, const RasteriseOptions& options) : total_(total), options_(options) {}

  // Counts `triangles` more as done; false when the work is to stop.
  bool advance(std::size_t triangles) {
    const std::size_t done = done_.fetch_add(triangles, std::memory_order_relaxed) + triangles;
    if (options_.cancel != nullptr && options_.cancel->load(std::memory_order_relaxed)) stop();
    if (options_.progress && !stopped()) {
      const std::unique_lock<std::mutex> lock(reportLock_, std::try_to_lock);
      const double fraction = static_cast<double>(std::min(done, total_)) / static_cast<double>(total_);
      if (lock.owns_lock() && fraction >= lastReported_ + 0.01 && fraction < 1.0) {
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
  std::atomic<bool> stopped_{false};
  std::mutex reportLock_;
  double lastReported_ = 0.0;
};

// Rasterises the triangles from `begin` up to (not including) `end`, last
// first, into `grid`, settling each texel at the last triangle that stores a
// sample there.
void rasteriseBackwards(std::span<const SampledMesh> meshes, TrianglePosition begin, TrianglePosition end,
                        LightmapSize size, SampleGrid& grid, SettledTexels& settled, WorkTracker& tracker) {
  TrianglePosition at = end;
  TexelTriangle triangle;
  std::size_t sinceReport = 0;
  std::size_t left = 0;  // triangles not yet visited, reported when the stretch ends early
  for (std::size_t m = begin.mesh; m < meshes.size() && m <= end.mesh; ++m) {
    const std::size_t from = m == begin.mesh ? begin.triangle : 0;
    const std::size_t to = m == end.mesh ? end.triangle : meshes[m].triangleCount;
    if (to > from) left += to - from;
  }
  while (!settled.allSettled()) {
    // Step back one triangle.
    while (at.triangle == 0) {
      if (at.mesh == begin.mesh) break;
      --at.mesh;
      at.triangle = meshes[at.mesh].triangleCount;
    }
    if (at.triangle == 0 || (at.mesh == begin.mesh && at.triangle <= begin.triangle)) break;
    --at.triangle;
    --left;
    if (++sinceReport == WorkTracker::kBatch) {
      if (!tracker.advance(sinceReport)) return;
      sinceReport = 0;
    }

    const SampledMesh& mesh = meshes[at.mesh];
    const std::array<std::size_t, 3> vertices = {indexAt(mesh, 3 * at.triangle), indexAt(mesh, 3 * at.triangle + 1),
                                                 indexAt(mesh, 3 * at.triangle + 2)};
    if (vertices[0] >= mesh.vertexCount || vertices[1] >= mesh.vertexCount || vertices[2] >= mesh.vertexCount) {
      continue;
    }
    if (!triangle.layOut(mesh, vertices, size)) continue;
    const ScanRange rows = triangle.rows();
    const ScanRange cols = triangle.cols();
    for (std::int32_t row = rows.first; row <= rows.last; ++row) {
      settled.forEachUnsettled(row, cols, [&](std::int32_t col) {
        if (triangle.sample(col, row, grid)) settled.settle(col, row);
      });
    }
  }
  tracker.advance(sinceReport + left);
}

// Below this many triangles a second thread costs more than it saves.
constexpr std::size_t kTrianglesPerExtraThread = std::size_t{1} << 15;

TrianglePosition positionOf(std::span<const SampledMesh> meshes, std::size_t ordinal) {
  std::size_t mesh = 0;
  while (mesh < meshes.size() && ordinal >= meshes[mesh].triangleCount) {
    ordinal -= meshes[mesh].triangleCount;
    ++mesh;
  }
  return {mesh, ordinal};
}

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
void withTriangle(const Vertex& v0, const Vertex& v1, const Vertex& v2, LightmapSize size, Visit&& visit) {
  const Vertex corners[3] = {v0, v1, v2};
  const SampledMesh mesh =
      viewOfRecords(reinterpret_cast<const std::uint8_t*>(corners), sizeof(Vertex), 3, false);
  TexelTriangle triangle;
  visit(triangle, triangle.layOut(mesh, {0, 1, 2}, size));
}

}  // namespace

ScanRange scanRange(float minimum, float maximum, LightmapSize size) {
  // Truncation toward zero is monotonic, so clamping in floating point first
  // gives exactly the in-grid part of trunc(min) .. trunc(max + 1.0).
  const double highest = static_cast<double>(size) - 1.0;
  const double first = std::clamp(static_cast<double>(minimum), 0.0, highest + 1.0);
  const double last = std::clamp(static_cast<double>(maximum) + 1.0, -1.0, highest);
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

SampledMesh sampledMeshOf(std::span<const Vertex> vertices, std::span<const std::uint16_t> indices) {
  SampledMesh mesh =
      viewOfRecords(reinterpret_cast<const std::uint8_t*>(vertices.data()), sizeof(Vertex), vertices.size(), false);
  mesh.indices16 = indices.data();
  mesh.triangleCount = indices.size() / 3;
  return mesh;
}

void rasteriseTriangle(const Vertex& v0, const Vertex& v1, const Vertex& v2, LightmapSize size, SampleGrid& grid) {
  withTriangle(v0, v1, v2, size, [&](TexelTriangle& triangle, bool laidOut) {
    if (!laidOut) return;
    // Rows outer, columns inner; within one triangle the order changes nothing.
    for (std::int32_t row = triangle.rows().first; row <= triangle.rows().last; ++row) {
      for (std::int32_t col = triangle.cols().first; col <= triangle.cols().last; ++col) {
        triangle.sample(col, row, grid);
      }
    }
  });
}

void forEachCoveredTexel(const Vertex& v0, const Vertex& v1, const Vertex& v2, LightmapSize size,
                         const std::function<void(std::int32_t col, std::int32_t row)>& visit) {
  withTriangle(v0, v1, v2, size, [&](TexelTriangle& triangle, bool laidOut) {
    if (!laidOut) return;
    for (std::int32_t row = triangle.rows().first; row <= triangle.rows().last; ++row) {
      for (std::int32_t col = triangle.cols().first; col <= triangle.cols().last; ++col) {
        if (triangle.covers(col, row)) visit(col, row);
      }
    }
  });
}

bool isDegenerateInLightmap(const Vertex& v0, const Vertex& v1, const Vertex& v2, LightmapSize size) {
  bool degenerate = true;
  withTriangle(v0, v1, v2, size, [&](TexelTriangle&, bool laidOut) { degenerate = !laidOut; });
  return degenerate;
}

bool rasteriseMeshRecords(std::span<const MeshRecord> meshes, LightmapSize size, SampleGrid& grid,
                          const RasteriseOptions& options) {
  std::vector<SampledMesh> sampled;
  sampled.reserve(meshes.size());
  for (const MeshRecord& mesh : meshes) sampled.push_back(sampledMeshOf(mesh));
  return rasteriseMeshes(sampled, size, grid, options);
}

bool rasteriseMeshes(std::span<const SampledMesh> meshes, LightmapSize size, SampleGrid& grid,
                     const RasteriseOptions& options) {
  std::size_t total = 0;
  for (const SampledMesh& mesh : meshes) total += mesh.triangleCount;
  WorkTracker tracker(std::max<std::size_t>(total, 1), options);
  if (total == 0) {
    tracker.finish();
    return !tracker.stopped();
  }

  std::size_t workers = std::min({usableProcessorCount(), std::size_t{8}, 1 + total / kTrianglesPerExtraThread});
  if (options.maxThreads > 0) workers = std::min(workers, options.maxThreads);
  if (options.exactThreads > 0) workers = std::min(options.exactThreads, total);
  const TrianglePosition end = {meshes.size(), 0};
  if (workers == 1) {
    SettledTexels settled(size);
    rasteriseBackwards(meshes, {0, 0}, end, size, grid, settled, tracker);
    tracker.finish();
    return !tracker.stopped();
  }

  // Each worker takes one stretch of the triangles. The last stretch writes
  // straight into the grid; the others into grids of their own, merged below
  // so that a later stretch's sample always wins.
  initialiseKernelTable();  // once, before any thread calls the kernel
  std::vector<SampleGrid> ownGrids;
  std::vector<SettledTexels> settled;
  for (std::size_t w = 0; w + 1 < workers; ++w) ownGrids.push_back(makeSampleGrid(size));
  for (std::size_t w = 0; w < workers; ++w) settled.emplace_back(size);
  {
    std::vector<std::jthread> running;
    for (std::size_t w = 0; w < workers; ++w) {
      const TrianglePosition from = positionOf(meshes, total * w / workers);
      const TrianglePosition to = w + 1 == workers ? end : positionOf(meshes, total * (w + 1) / workers);
      SampleGrid& target = w + 1 == workers ? grid : ownGrids[w];
      const auto work = [&, from, to, w] { rasteriseBackwards(meshes, from, to, size, target, settled[w], tracker); };
      try {
        running.emplace_back(work);
      } catch (const std::system_error&) {
        work();  // no thread to be had: do this stretch here
      }
    }
  }
  if (tracker.stopped()) return false;
  for (std::size_t w = workers - 1; w-- > 0;) {
    for (std::int32_t row = 0; row < size; ++row) {
      for (std::int32_t col = 0; col < size; ++col) {
        if (settled.back().isSettled(col, row) || !settled[w].isSettled(col, row)) continue;
        grid.at(col, row) = ownGrids[w].at(col, row);
        settled.back().settle(col, row);
      }
    }
  }
  tracker.finish();
  return !tracker.stopped();
}

}  // namespace lumivex
