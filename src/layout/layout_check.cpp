#include "layout/layout_check.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "api/guarded.h"
#include "layout/texel_corners.h"
#include "sampling/mesh_arrays.h"
#include "sampling/rasteriser.h"

namespace lumivex {

namespace {

bool insideUnitSquare(const LightmapPoint& p) { return p.u >= 0.0f && p.u <= 1.0f && p.v >= 0.0f && p.v <= 1.0f; }

// Rows per band: the counts for a band take 6 bytes a texel, and a band
// holds at most 16 M texels, whatever the size.
constexpr std::size_t kTexelsPerBand = std::size_t{1} << 24;

// Progress and the cancel flag, looked at every so many triangles.
class CheckProgress {
 public:
  CheckProgress(const LayoutCheckOptions& options, double work) : options_(options), work_(work) {}
  // Counts one triangle done; false once the work is to stop.
  bool step() {
    done_ += 1.0;
    if (++sinceLook_ < kLookEvery) return !stopped_;
    sinceLook_ = 0;
    if (options_.cancel != nullptr && options_.cancel->load(std::memory_order_relaxed)) stopped_ = true;
    if (options_.progress && !stopped_) stopped_ = !calledBack([&] { options_.progress(std::min(done_ / work_, 1.0)); });
    return !stopped_;
  }
  void skip(double triangles) { done_ += triangles; }
  bool stopped() const { return stopped_; }

 private:
  static constexpr std::size_t kLookEvery = 65536;
  const LayoutCheckOptions& options_;
  double work_;
  double done_ = 0;
  std::size_t sinceLook_ = 0;
  bool stopped_ = false;
};

// Each triangle once: outside, zero area, or laid into texel space.
struct LaidOut {
  std::vector<ExactTriangle> triangles;                // those with a turn
  std::vector<std::array<LightmapPoint, 3>> uvs;       // their lightmap points
  std::vector<std::array<Vector3, 3>> positions;       // their corners in the model
};

LaidOut layOut(std::span<const SampledMesh> meshes, std::int32_t size, LayoutReport& report) {
  LaidOut laid;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    const SampledMesh& mesh = meshes[m];
    LayoutCounts& counts = report.meshes[m];
    for (std::size_t t = 0; t < mesh.triangleCount; ++t) {
      std::array<LightmapPoint, 3> uvs{};
      std::array<Vector3, 3> positions{};
      std::array<Vertex, 3> corners{};
      bool outside = false;
      for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t v = indexAt(mesh, 3 * t + k);
        uvs[k] = lightmapPointOf(mesh, v);
        positions[k] = positionOf(mesh, v);
        corners[k].lightmapU = uvs[k].u;
        corners[k].lightmapV = uvs[k].v;
        outside = outside || !insideUnitSquare(uvs[k]);
      }
      ++counts.triangles;
      counts.surfaceArea += surfaceArea(positions[0], positions[1], positions[2]);
      if (outside) ++counts.outside;
      ExactTriangle triangle;
      triangle.corners = texelCorners(uvs, size);
      // The sampler's judgement decides what it skips; a triangle it keeps but
      // whose exact area is zero holds no corner strictly inside either.
      if (!isDegenerateInLightmap(corners[0], corners[1], corners[2], size)) triangle.turn = exactTurn(triangle.corners);
      if (triangle.turn == 0) {
        ++counts.zeroArea;
        continue;
      }
      triangle.mesh = static_cast<std::uint32_t>(m);
      laid.triangles.push_back(triangle);
      laid.uvs.push_back(uvs);
      laid.positions.push_back(positions);
    }
  }
  return laid;
}

// One band of rows: how many triangles hold each corner strictly inside (0,
// 1, or 2 for more), which corners any closed triangle holds, and the last
// mesh counted for each corner (plus one).
struct RowBand {
  std::int32_t firstRow = 0, lastRow = 0;
  std::size_t width = 0;
  std::vector<std::uint8_t> inside;
  std::vector<std::uint8_t> held;
  std::vector<std::uint32_t> countedFor;
  std::size_t at(std::int32_t row) const { return static_cast<std::size_t>(row - firstRow) * width; }
};

// Counts one band: marks each triangle's corners, notes the triangles that
// hold any, and counts the texels held and those held twice strictly inside.
bool countBand(const LaidOut& laid, std::int32_t size, RowBand& band, std::vector<char>& sampled, LayoutReport& report,
               CheckProgress& progress) {
  const std::size_t texels = static_cast<std::size_t>(band.lastRow - band.firstRow + 1) * band.width;
  band.inside.assign(texels, 0);
  band.held.assign(texels, 0);
  for (std::size_t t = 0; t < laid.triangles.size(); ++t) {
    forEachRow(laid.triangles[t], size, band.firstRow, band.lastRow, [&](std::int32_t row, const RowSpans& spans) {
      sampled[t] = 1;
      std::uint8_t* counts = band.inside.data() + band.at(row);
      std::fill(band.held.data() + band.at(row) + spans.closed.first, band.held.data() + band.at(row) + spans.closed.last + 1,
                std::uint8_t{1});
      for (std::int32_t col = spans.strict.first; col <= spans.strict.last; ++col) {
        counts[col] = static_cast<std::uint8_t>(counts[col] + (counts[col] < 2 ? 1 : 0));
      }
    });
    if (!progress.step()) return false;
  }
  report.total.coveredTexels += static_cast<std::size_t>(std::count(band.held.begin(), band.held.end(), 1));
  const auto overlapped = static_cast<std::size_t>(std::count(band.inside.begin(), band.inside.end(), 2));
  report.total.overlappedTexels += overlapped;
  if (overlapped == 0) {
    progress.skip(static_cast<double>(laid.triangles.size()));
    return true;
  }
  // Each mesh counts a texel held by two or more triangles once, when one of
  // them is its own; the triangles come mesh by mesh.
  band.countedFor.assign(texels, 0);
  for (const ExactTriangle& triangle : laid.triangles) {
    const std::uint32_t stamp = triangle.mesh + 1;
    std::size_t& mine = report.meshes[triangle.mesh].overlappedTexels;
    forEachRow(triangle, size, band.firstRow, band.lastRow, [&](std::int32_t row, const RowSpans& spans) {
      const std::uint8_t* counts = band.inside.data() + band.at(row);
      std::uint32_t* counted = band.countedFor.data() + band.at(row);
      for (std::int32_t col = spans.strict.first; col <= spans.strict.last; ++col) {
        if (counts[col] < 2 || counted[col] == stamp) continue;
        counted[col] = stamp;
        ++mine;
      }
    });
    if (!progress.step()) return false;
  }
  return true;
}

// Triangles that hold no corner, and the smallest power-of-two size at which
// every one of them would hold one. Sizes only add corners as they double,
// so one pass that raises the size as needed finds it.
std::int32_t countUnsampled(const LaidOut& laid, const std::vector<char>& sampled, LayoutReport& report) {
  std::int32_t needed = 1;
  for (std::size_t t = 0; t < laid.triangles.size(); ++t) {
    if (sampled[t] != 0) continue;
    LayoutCounts& counts = report.meshes[laid.triangles[t].mesh];
    ++counts.unsampled;
    counts.unsampledArea += surfaceArea(laid.positions[t][0], laid.positions[t][1], laid.positions[t][2]);
    if (needed == 0) continue;
    while (needed <= kLargestSize && !coversTexelCorner(laid.uvs[t], needed)) needed *= 2;
    if (needed > kLargestSize) needed = 0;
  }
  return needed;
}

}  // namespace

double surfaceArea(const Vector3& a, const Vector3& b, const Vector3& c) {
  const double ax = double{b.x} - a.x, ay = double{b.y} - a.y, az = double{b.z} - a.z;
  const double bx = double{c.x} - a.x, by = double{c.y} - a.y, bz = double{c.z} - a.z;
  const double cx = ay * bz - az * by, cy = az * bx - ax * bz, cz = ax * by - ay * bx;
  const double area = 0.5 * std::sqrt(cx * cx + cy * cy + cz * cz);
  return std::isfinite(area) ? area : 0.0;
}

bool checkLayoutOf(std::span<const SampledMesh> meshes, std::int32_t size, const LayoutCheckOptions& options,
                   LayoutReport& report) {
  report = {};
  report.size = size;
  report.meshes.assign(meshes.size(), {});
  const LaidOut laid = layOut(meshes, size, report);

  const auto width = static_cast<std::size_t>(size);
  const std::int32_t bandRows = static_cast<std::int32_t>(std::clamp<std::size_t>(kTexelsPerBand / width, 1, width));
  const std::size_t bands = (width + static_cast<std::size_t>(bandRows) - 1) / static_cast<std::size_t>(bandRows);
  CheckProgress progress(options, std::max(1.0, static_cast<double>(bands) * static_cast<double>(laid.triangles.size()) * 2.0));
  std::vector<char> sampled(laid.triangles.size(), 0);
  RowBand band;
  band.width = width;
  for (std::size_t b = 0; b < bands; ++b) {
    band.firstRow = static_cast<std::int32_t>(b) * bandRows;
    band.lastRow = std::min(band.firstRow + bandRows, size) - 1;
    if (!countBand(laid, size, band, sampled, report, progress)) return false;
  }
  const std::int32_t needed = countUnsampled(laid, sampled, report);
  for (const LayoutCounts& mesh : report.meshes) {
    report.total.triangles += mesh.triangles;
    report.total.outside += mesh.outside;
    report.total.zeroArea += mesh.zeroArea;
    report.total.unsampled += mesh.unsampled;
    report.total.surfaceArea += mesh.surfaceArea;
    report.total.unsampledArea += mesh.unsampledArea;
  }
  report.sizeSamplingAll = report.total.unsampled == 0 ? size : needed;
  if (options.progress && !calledBack([&] { options.progress(1.0); })) return false;
  return true;
}

Result checkLayout(std::span<const MeshArrays> meshes, std::int32_t size, LayoutReport& report,
                   const LayoutCheckOptions& options) noexcept {
  if (size < kSmallestSize || size > kLargestSize) return {Status::InvalidArgument, "size: outside 1 to 16384"};
  return guarded([&]() -> Result {
    std::vector<SampledMesh> described;
    MeshNeeds needs;
    needs.normals = false;
    if (const Result result = describeMeshes(meshes, described, needs); !result) return result;
    LayoutReport checked;
    if (!checkLayoutOf(described, size, options, checked)) return cancelled();
    report = std::move(checked);
    return {};
  });
}

}  // namespace lumivex
