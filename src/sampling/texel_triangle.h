#pragma once
// One triangle laid into texel space and sampled texel by texel, as the
// rasteriser and the small-triangle pass use it; and the grid as they see it.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "math/kernel.h"
#include "output/sample_grid.h"
#include "sampling/corner_range.h"
#include "sampling/sampled_mesh.h"
#include "sampling/triangle_tests.h"

namespace lumivex {

// The grid triangles are laid into: u scales by the width, v by the height,
// and texel (col, row) is sampled at (col + sampleOffset, row + sampleOffset).
struct GridShape {
  std::int32_t width = 0;
  std::int32_t height = 0;
  float sampleOffset = 0.0f;  // 0: texel corners; 0.5: texel centres

  GridShape() = default;
  // The square grid sampled at texel corners: what the command samples.
  GridShape(LightmapSize size) : width(size), height(size) {}  // NOLINT(google-explicit-constructor)
  GridShape(GridSize size, SamplePoint point)
      : width(size.width), height(size.height), sampleOffset(point == SamplePoint::Centre ? 0.5f : 0.0f) {}
};

// Inclusive range of columns (or rows) to scan: the texels whose sample
// points lie from trunc(min - offset) to trunc(max + 1 - offset), clipped to
// 0..extent-1. Empty when first > last.
struct ScanRange {
  std::int32_t first;
  std::int32_t last;
};
ScanRange scanRange(float minimum, float maximum, std::int32_t extent, float offset = 0.0f);

// What laying out a triangle found.
enum class Layout {
  Degenerate,  // a non-finite corner or zero area: writes nothing
  NoCorner,    // no sample point can pass: nothing to visit
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

namespace texel_math {

// Twice the signed area (differences and products in double from the
// single-precision corners). A triangle of exactly zero area passes every
// inside test and divides by a zero height.
inline double doubleArea(const Vector3& t0, const Vector3& t1, const Vector3& t2) {
  return (double{t1.x} - double{t0.x}) * (double{t2.y} - double{t0.y}) -
         (double{t1.y} - double{t0.y}) * (double{t2.x} - double{t0.x});
}

// Of finite values: compiled to minss and maxss.
inline float smallest(float a, float b, float c) {
  const float ab = a < b ? a : b;
  return ab < c ? ab : c;
}
inline float largest(float a, float b, float c) {
  const float ab = a > b ? a : b;
  return ab > c ? ab : c;
}

}  // namespace texel_math

// One triangle laid into texel space, with everything that does not depend on
// the texel computed once, and only once it is needed. Sampling a texel gives
// exactly the bits of pointInTriangle, barycentricWeights, barycentricCombine
// and normaliseVector3 applied to its sample point one by one (texel space is
// the plane z = 0, so the in-plane forms of the tests apply).
class TexelTriangle {
 public:
  // `rule`: which sample points are visited; null visits the whole scan range (tests).
  explicit TexelTriangle(const CornerRule* rule = &kCornerRule) : rule_(rule) {}

  // Lays out a new triangle in this object, dropping the last one. One object
  // serves a whole run of triangles, so nothing is built per triangle.
  Layout layOut(const SampledMesh& mesh, const std::array<std::size_t, 3>& vertices, const GridShape& grid,
                const Band& band = {}) {
    using texel_math::largest;
    using texel_math::smallest;
    const float sx = static_cast<float>(grid.width);
    const float sy = static_cast<float>(grid.height);
    const AttributeArray& uvs = mesh.lightmapUvs;
    if (uvs.present >= 8) [[likely]] {
      const std::uint8_t* uv0 = uvs.base + vertices[0] * uvs.stride;
      const std::uint8_t* uv1 = uvs.base + vertices[1] * uvs.stride;
      const std::uint8_t* uv2 = uvs.base + vertices[2] * uvs.stride;
      const bool file = mesh.fileByteOrder;
      corners_[0] = {sx * loadFloat(uv0, file), sy * loadFloat(uv0 + 4, file), 0.0f};
      corners_[1] = {sx * loadFloat(uv1, file), sy * loadFloat(uv1 + 4, file), 0.0f};
      corners_[2] = {sx * loadFloat(uv2, file), sy * loadFloat(uv2 + 4, file), 0.0f};
    } else {
      for (std::size_t k = 0; k < 3; ++k) {
        corners_[k] = {sx * componentAt(uvs, vertices[k], 0, mesh.fileByteOrder),
                       sy * componentAt(uvs, vertices[k], 1, mesh.fileByteOrder), 0.0f};
      }
    }
    offset_ = grid.sampleOffset;
    const auto& [t0, t1, t2] = corners_;
    if (rule_ != nullptr && withinLimit(*rule_)) [[likely]] {
      // Finite, and small enough for the corner rule: most triangles.
      const float minX = smallest(t0.x, t1.x, t2.x), maxX = largest(t0.x, t1.x, t2.x);
      const float minY = smallest(t0.y, t1.y, t2.y), maxY = largest(t0.y, t1.y, t2.y);
      const double area2 = texel_math::doubleArea(t0, t1, t2);
      if (area2 == 0.0) return Layout::Degenerate;
      CornerBounds bounds;
      if (cornersThatCanPass(t0, t1, t2, area2, minX, maxX, minY, maxY, *rule_, offset_, bounds)) {
        // Within the scan range already, but for the grid's edges.
        cols_ = {std::max(bounds.firstCol, 0), std::min(bounds.lastCol, grid.width - 1)};
        rows_ = {std::max(bounds.firstRow, 0), std::min(bounds.lastRow, grid.height - 1)};
        if (cols_.first > cols_.last || !band.ownsAnyOf(rows_)) return Layout::NoCorner;
      } else {
        cols_ = scanRange(minX, maxX, grid.width, offset_);
        rows_ = scanRange(minY, maxY, grid.height, offset_);
        if (!band.ownsAnyOf(rows_)) return Layout::NoCorner;
      }
    } else {
      if (!(std::isfinite(t0.x) && std::isfinite(t0.y) && std::isfinite(t1.x) && std::isfinite(t1.y) &&
            std::isfinite(t2.x) && std::isfinite(t2.y))) {
        return Layout::Degenerate;
      }
      const double area2 = texel_math::doubleArea(t0, t1, t2);
      if (area2 == 0.0) return Layout::Degenerate;
      cols_ = scanRange(std::min(std::min(t0.x, t1.x), t2.x), std::max(std::max(t0.x, t1.x), t2.x), grid.width,
                        offset_);
      rows_ = scanRange(std::min(std::min(t0.y, t1.y), t2.y), std::max(std::max(t0.y, t1.y), t2.y), grid.height,
                        offset_);
      if (!band.ownsAnyOf(rows_)) return Layout::NoCorner;
    }
    bind(mesh, vertices);
    return Layout::Ready;
  }

  // Makes a triangle laid out as NoCorner ready for blendAt (most such
  // triangles are never sampled, so layOut leaves this to the caller).
  void bind(const SampledMesh& mesh, const std::array<std::size_t, 3>& vertices) {
    mesh_ = &mesh;
    vertices_ = vertices;
    sidesReady_ = false;
    blendReady_ = false;
  }

  ScanRange cols() const { return cols_; }
  ScanRange rows() const { return rows_; }

  // pointInTriangle for the texel's sample point, its three tests in its order.
  bool covers(std::int32_t col, std::int32_t row) {
    return offset_ != 0.0f ? coversAt<true>(col, row) : coversAt<false>(col, row);
  }
  // The same for a sample point known to the caller: texel centres when
  // kCentre, corners otherwise (a grid shape's offset of 1/2 or 0). The hot
  // loops call this, which spares them an addition per texel.
  template <bool kCentre>
  bool coversAt(std::int32_t col, std::int32_t row) {
    if (!sidesReady_) {
      const auto& [t0, t1, t2] = corners_;
      sides_ = {planarSideTest(t0, t1, t2), planarSideTest(t1, t0, t2), planarSideTest(t2, t0, t1)};
      sidesReady_ = true;
      termsRow_ = -1;
    }
    if (row != termsRow_) {
      const float y = kCentre ? static_cast<float>(row) + 0.5f : static_cast<float>(row);
      for (std::size_t k = 0; k < 3; ++k) rowTerms_[k] = sideRowTerm(sides_[k], y);
      termsRow_ = row;
    }
    const float x = kCentre ? static_cast<float>(col) + 0.5f : static_cast<float>(col);
    return onReferenceSideInRow(sides_[0], rowTerms_[0], x) && onReferenceSideInRow(sides_[1], rowTerms_[1], x) &&
           onReferenceSideInRow(sides_[2], rowTerms_[2], x);
  }

  // Stores the texel's sample in `cell` and returns true when its sample
  // point is covered with finite weights; otherwise leaves the cell alone.
  template <bool kCentre>
  bool sample(std::int32_t col, std::int32_t row, Sample& cell) {
    if (!coversAt<kCentre>(col, row)) return false;
    if constexpr (kCentre) return blendAt(static_cast<float>(col) + 0.5f, static_cast<float>(row) + 0.5f, cell);
    return blendAt(static_cast<float>(col), static_cast<float>(row), cell);
  }

  // The sample at the texel-space point (x, y), whether or not the triangle
  // holds it: false, leaving the cell alone, for non-finite weights.
  bool blendAt(float x, float y, Sample& cell) {
    if (!blendReady_) {
      blend_ = prepareBlend();
      blendReady_ = true;
    }
    const Blend& blend = blend_;
    // w1 and w2 as barycentricWeights forms them.
    const float w1 = static_cast<float>(distanceFromLineInPlane(blend.edge02, x, y) / double{blend.height1});
    const float w2 = static_cast<float>(distanceFromLineInPlane(blend.edge01, x, y) / double{blend.height2});
    if (!std::isfinite(w1) || !std::isfinite(w2)) return false;
    w1_ = w1;
    w2_ = w2;
    barycentricCombine(&cell.position, &blend.positions[0], &blend.positions[1], &blend.positions[2], w1, w2);
    barycentricCombine(&cell.normal, &blend.normals[0], &blend.normals[1], &blend.normals[2], w1, w2);
    normaliseVector3(&cell.normal, &cell.normal);
    return true;
  }

  // The weights of the last sample stored.
  float w1() const { return w1_; }
  float w2() const { return w2_; }

  // The centroid of the laid-out corners (summed in double, rounded once).
  std::array<float, 2> centroid() const {
    const auto& [t0, t1, t2] = corners_;
    return {static_cast<float>((double{t0.x} + double{t1.x} + double{t2.x}) / 3.0),
            static_cast<float>((double{t0.y} + double{t1.y} + double{t2.y}) / 3.0)};
  }

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
  float offset_ = 0.0f;
  ScanRange cols_{0, -1};
  ScanRange rows_{0, -1};
  bool sidesReady_ = false;
  std::array<PlanarSideTest, 3> sides_{};
  std::int32_t termsRow_ = -1;
  std::array<double, 3> rowTerms_{};
  bool blendReady_ = false;
  Blend blend_{};
  float w1_ = 0.0f;
  float w2_ = 0.0f;
};

// Which triangle wrote a texel, and where in it.
struct TexelOrigin {
  std::uint32_t mesh;
  std::uint32_t triangle;
  float w1;
  float w2;
};

// A grid's extra channels, as the samplers write them; does nothing for a
// grid without them.
class ChannelWriter {
 public:
  explicit ChannelWriter(SampleGrid& grid)
      : triangleIds_(SampleGridAccess::triangleIds(grid)),
        meshIds_(SampleGridAccess::meshIds(grid)),
        barycentrics_(SampleGridAccess::barycentrics(grid)),
        width_(static_cast<std::size_t>(grid.width())) {}

  bool any() const { return triangleIds_ != nullptr || barycentrics_ != nullptr; }
  void write(std::int32_t col, std::int32_t row, const TexelOrigin& origin) const {
    const std::size_t cell = static_cast<std::size_t>(row) * width_ + static_cast<std::size_t>(col);
    if (triangleIds_ != nullptr) {
      triangleIds_[cell] = origin.triangle;
      meshIds_[cell] = origin.mesh;
    }
    if (barycentrics_ != nullptr) {
      barycentrics_[2 * cell] = origin.w1;
      barycentrics_[2 * cell + 1] = origin.w2;
    }
  }

 private:
  std::uint32_t* triangleIds_;
  std::uint32_t* meshIds_;
  float* barycentrics_;
  std::size_t width_;
};

}  // namespace lumivex
