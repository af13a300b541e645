#include "sampling/rasteriser.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <bit>
#include <cmath>
#include <cstring>
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

Vector3 vectorAt(const std::uint8_t* bytes) {
  return {little_endian::loadFloat(bytes), little_endian::loadFloat(bytes + 4), little_endian::loadFloat(bytes + 8)};
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
  // The three 40-byte vertex slots, in the order of the triangle's indices.
  using Slots = std::array<const std::uint8_t*, 3>;

  // Lays out a new triangle in this object, dropping the last one; false for
  // triangles that write nothing: a non-finite corner or zero area. One object
  // serves a whole run of triangles, so nothing is built per triangle.
  bool layOut(const Slots& slots, LightmapSize size) {
    const float s = static_cast<float>(size);
    for (std::size_t k = 0; k < 3; ++k) {
      const std::uint8_t* lightmap = slots[k] + offsetof(VertexRecord, lightmapU);
      corners_[k] = {s * little_endian::loadFloat(lightmap), s * little_endian::loadFloat(lightmap + 4), 0.0f};
      if (!isFinite(corners_[k])) return false;
    }
    if (hasZeroArea(corners_[0], corners_[1], corners_[2])) return false;
    const auto& [t0, t1, t2] = corners_;
    slots_ = slots;
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

    Sample& cell = grid.samples[cellIndex(grid, col, row)];
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
      blend.positions[k] = vectorAt(slots_[k] + offsetof(VertexRecord, position));
      blend.normals[k] = vectorAt(slots_[k] + offsetof(VertexRecord, normal));
    }
    return blend;
  }

  Slots slots_{};
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

// Native records laid out as the file's little-endian slots, which is what
// the rasteriser reads.
struct EncodedSlots {
  explicit EncodedSlots(const VertexRecord& v0, const VertexRecord& v1, const VertexRecord& v2) {
    const VertexRecord* records[3] = {&v0, &v1, &v2};
    for (std::size_t k = 0; k < 3; ++k) {
      std::memcpy(bytes[k], records[k], sizeof(VertexRecord));
      little_endian::floatsToOrFromFile(reinterpret_cast<float*>(bytes[k]), 10);
    }
  }
  TexelTriangle::Slots slots() const { return {bytes[0], bytes[1], bytes[2]}; }
  alignas(float) std::uint8_t bytes[3][sizeof(VertexRecord)];
};

bool isSampled(const MeshRecord& mesh) { return mesh.vertexStride == kSampledVertexStride; }

std::size_t triangleCount(const MeshRecord& mesh) {
  if (!isSampled(mesh)) return 0;
  // The remainder takes the sign of indexCount, so any count below 3 gives n <= 0.
  const std::int32_t n = mesh.indexCount - mesh.indexCount % 3;
  return n > 0 ? static_cast<std::size_t>(n / 3) : 0;
}

// Position of a triangle in the run's order: mesh, then triangle within it.
struct TrianglePosition {
  std::size_t mesh;
  std::size_t triangle;
};

// Rasterises the triangles from `begin` up to (not including) `end`, last
// first, into `grid`, settling each texel at the last triangle that stores a
// sample there.
void rasteriseBackwards(std::span<const MeshRecord> meshes, TrianglePosition begin, TrianglePosition end,
                        LightmapSize size, SampleGrid& grid, SettledTexels& settled) {
  TrianglePosition at = end;
  TexelTriangle triangle;
  while (!settled.allSettled()) {
    // Step back one triangle.
    while (at.triangle == 0) {
      if (at.mesh == begin.mesh) return;
      --at.mesh;
      at.triangle = triangleCount(meshes[at.mesh]);
    }
    --at.triangle;
    if (at.mesh == begin.mesh && at.triangle < begin.triangle) return;

    const MeshRecord& mesh = meshes[at.mesh];
    const std::size_t vertexCount = static_cast<std::size_t>(std::max(mesh.vertexCount, 0));
    const std::uint16_t i0 = mesh.indices[3 * at.triangle];
    const std::uint16_t i1 = mesh.indices[3 * at.triangle + 1];
    const std::uint16_t i2 = mesh.indices[3 * at.triangle + 2];
    if (i0 >= vertexCount || i1 >= vertexCount || i2 >= vertexCount) continue;

    const std::uint8_t* vertices = mesh.vertices.data();
    if (!triangle.layOut({vertices + std::size_t{i0} * sizeof(VertexRecord),
                          vertices + std::size_t{i1} * sizeof(VertexRecord),
                          vertices + std::size_t{i2} * sizeof(VertexRecord)},
                         size)) {
      continue;
    }
    const ScanRange rows = triangle.rows();
    const ScanRange cols = triangle.cols();
    for (std::int32_t row = rows.first; row <= rows.last; ++row) {
      settled.forEachUnsettled(row, cols, [&](std::int32_t col) {
        if (triangle.sample(col, row, grid)) settled.settle(col, row);
      });
    }
  }
}

// Below this many triangles a second thread costs more than it saves.
constexpr std::size_t kTrianglesPerExtraThread = std::size_t{1} << 15;

TrianglePosition positionOf(std::span<const MeshRecord> meshes, std::size_t ordinal) {
  std::size_t mesh = 0;
  while (mesh < meshes.size() && ordinal >= triangleCount(meshes[mesh])) {
    ordinal -= triangleCount(meshes[mesh]);
    ++mesh;
  }
  return {mesh, ordinal};
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

void rasteriseTriangle(const VertexRecord& v0, const VertexRecord& v1, const VertexRecord& v2,
                       LightmapSize size, SampleGrid& grid) {
  TexelTriangle triangle;
  const EncodedSlots encoded(v0, v1, v2);
  if (!triangle.layOut(encoded.slots(), size)) return;
  // Rows outer, columns inner; within one triangle the order changes nothing.
  for (std::int32_t row = triangle.rows().first; row <= triangle.rows().last; ++row) {
    for (std::int32_t col = triangle.cols().first; col <= triangle.cols().last; ++col) {
      triangle.sample(col, row, grid);
    }
  }
}

void forEachCoveredTexel(const VertexRecord& v0, const VertexRecord& v1, const VertexRecord& v2, LightmapSize size,
                         const std::function<void(std::int32_t col, std::int32_t row)>& visit) {
  TexelTriangle triangle;
  const EncodedSlots encoded(v0, v1, v2);
  if (!triangle.layOut(encoded.slots(), size)) return;
  for (std::int32_t row = triangle.rows().first; row <= triangle.rows().last; ++row) {
    for (std::int32_t col = triangle.cols().first; col <= triangle.cols().last; ++col) {
      if (triangle.covers(col, row)) visit(col, row);
    }
  }
}

bool isDegenerateInLightmap(const VertexRecord& v0, const VertexRecord& v1, const VertexRecord& v2,
                            LightmapSize size) {
  TexelTriangle triangle;
  const EncodedSlots encoded(v0, v1, v2);
  return !triangle.layOut(encoded.slots(), size);
}

void rasteriseMesh(const MeshRecord& mesh, LightmapSize size, SampleGrid& grid) {
  rasteriseMeshes(std::span<const MeshRecord>(&mesh, 1), size, grid);
}

void rasteriseMeshes(std::span<const MeshRecord> meshes, LightmapSize size, SampleGrid& grid, std::size_t threads) {
  std::size_t total = 0;
  for (const MeshRecord& mesh : meshes) total += triangleCount(mesh);
  if (total == 0) return;

  const std::size_t cores = usableProcessorCount();
  std::size_t workers = std::min({cores, std::size_t{8}, 1 + total / kTrianglesPerExtraThread});
  if (threads > 0) workers = std::min(threads, total);
  const TrianglePosition end = {meshes.size(), 0};
  if (workers == 1) {
    SettledTexels settled(size);
    rasteriseBackwards(meshes, {0, 0}, end, size, grid, settled);
    return;
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
      const auto work = [&, from, to, w] { rasteriseBackwards(meshes, from, to, size, target, settled[w]); };
      try {
        running.emplace_back(work);
      } catch (const std::system_error&) {
        work();  // no thread to be had: do this stretch here
      }
    }
  }
  for (std::size_t w = workers - 1; w-- > 0;) {
    for (std::int32_t row = 0; row < size; ++row) {
      for (std::int32_t col = 0; col < size; ++col) {
        if (settled.back().isSettled(col, row) || !settled[w].isSettled(col, row)) continue;
        grid.samples[cellIndex(grid, col, row)] = ownGrids[w].samples[cellIndex(grid, col, row)];
        settled.back().settle(col, row);
      }
    }
  }
}

}  // namespace lumivex
