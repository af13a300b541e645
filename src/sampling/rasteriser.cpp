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
#include "sampling/settled_texels.h"
#include "sampling/small_triangles.h"
#include "sampling/triangle_tests.h"

namespace lumivex {

namespace {

constexpr std::size_t kPositionBytes = 12;
constexpr std::size_t kNormalBytes = 12;
constexpr std::size_t kLightmapUvBytes = 8;

}  // namespace

// Shares out progress reports and the cancel flag among the workers. Each
// counts the triangles it visits in batches (where workers split the rows,
// only the first counts, as each visits every triangle); one of them reports,
// and each learns whether to stop.
class WorkTracker {
 public:
  static constexpr std::size_t kBatch = 4096;
  // Texels a worker scans between looks at the cancel flag, where a few
  // large triangles make the work: a few milliseconds of it.
  static constexpr std::size_t kTexelsBetweenChecks = std::size_t{1} << 18;

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
// kChannels: the grid has extra channels to write (decided once per run, so
// that a grid without them pays nothing per texel).
template <bool kChannels>
struct GridSink {
  SampleGrid& grid;
  ChannelWriter channels{grid};
  Sample& cell(std::int32_t col, std::int32_t row) { return grid.at(col, row); }
  void keep(std::int32_t col, std::int32_t row, const TexelOrigin& origin) {
    if constexpr (kChannels) channels.write(col, row, origin);
  }
};

struct KeptSample {
  std::int32_t col;
  std::int32_t row;
  Sample sample;
};

template <bool kChannels>
struct ListSink {
  std::vector<KeptSample>& kept;
  std::vector<TexelOrigin>& origins;  // beside `kept`, for a grid with channels
  Sample scratch{};
  Sample& cell(std::int32_t, std::int32_t) { return scratch; }
  void keep(std::int32_t col, std::int32_t row, const TexelOrigin& origin) {
    kept.push_back({col, row, scratch});
    if constexpr (kChannels) origins.push_back(origin);
  }
};

// Position of a triangle in the run: mesh, then triangle within it.
struct TrianglePosition {
  std::size_t mesh;
  std::size_t triangle;
};

// The part of a run one worker takes: triangles from `begin` up to (not
// including) `end`, in the rows of `band`.
struct Stretch {
  TrianglePosition begin;
  TrianglePosition end;
  Band band;
  bool counting;   // counts its triangles as done
  bool reporting;  // sends the progress reports
};

// Triangles of [begin, end).
std::size_t trianglesIn(std::span<const SampledMesh> meshes, const Stretch& stretch) {
  std::size_t count = 0;
  for (std::size_t m = stretch.begin.mesh; m < meshes.size() && m <= stretch.end.mesh; ++m) {
    const std::size_t from = m == stretch.begin.mesh ? stretch.begin.triangle : 0;
    const std::size_t to = m == stretch.end.mesh ? stretch.end.triangle : meshes[m].triangleCount;
    if (to > from) count += to - from;
  }
  return count;
}

// Rasterises a stretch of triangles, last first, settling each texel at the
// last triangle that stores a sample there. `firstMesh`: the position of
// meshes[0] in the whole list. False when the work was stopped.
template <bool kCentre, typename Sink>
bool rasteriseStretch(std::span<const SampledMesh> meshes, std::size_t firstMesh, const Stretch& stretch,
                      const GridShape& shape, Sink& sink, SettledTexels& settled, WorkTracker& tracker) {
  const Band& band = stretch.band;
  TexelTriangle triangle;
  std::size_t sinceReport = 0;
  std::size_t texelsSinceCheck = 0;  // of large triangles, between looks at the cancel flag
  std::size_t left = trianglesIn(meshes, stretch);  // not yet visited, counted as done if the work settles early
  for (std::size_t m = std::min(stretch.end.mesh + 1, meshes.size()); m-- > stretch.begin.mesh && !settled.allSettled(band);) {
    const SampledMesh& mesh = meshes[m];
    const std::size_t from = m == stretch.begin.mesh ? stretch.begin.triangle : 0;
    const std::size_t to = m == stretch.end.mesh ? stretch.end.triangle : mesh.triangleCount;
    for (std::size_t t = to; t-- > from;) {
      --left;
      if (++sinceReport == WorkTracker::kBatch) {
        if (!tracker.advance(sinceReport, stretch.counting, stretch.reporting)) return false;
        sinceReport = 0;
        if (settled.allSettled(band)) break;
      }
      const std::array<std::size_t, 3> vertices = {indexAt(mesh, 3 * t), indexAt(mesh, 3 * t + 1),
                                                   indexAt(mesh, 3 * t + 2)};
      if (vertices[0] >= mesh.vertexCount || vertices[1] >= mesh.vertexCount || vertices[2] >= mesh.vertexCount) {
        continue;
      }
      if (triangle.layOut(mesh, vertices, shape, band) != Layout::Ready) continue;
      const ScanRange rows = triangle.rows();
      const ScanRange cols = triangle.cols();
      for (std::int32_t row = band.nextOwned(rows.first); row <= rows.last; row = band.nextOwned(row + 1)) {
        texelsSinceCheck += static_cast<std::size_t>(cols.last - cols.first + 1);
        if (texelsSinceCheck >= WorkTracker::kTexelsBetweenChecks) {
          texelsSinceCheck = 0;
          if (!tracker.advance(0, false, false)) return false;
        }
        settled.forEachUnsettled(row, cols, [&](std::int32_t col) {
          if (triangle.template sample<kCentre>(col, row, sink.cell(col, row))) {
            settled.settle(col, row, band);
            sink.keep(col, row,
                      {static_cast<std::uint32_t>(firstMesh + m), static_cast<std::uint32_t>(t), triangle.w1(),
                       triangle.w2()});
          }
        });
      }
      if (settled.allSettled(band)) break;
    }
  }
  return tracker.advance(sinceReport + left, stretch.counting, stretch.reporting);
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

std::size_t texelsOf(const GridShape& shape) {
  return static_cast<std::size_t>(shape.width) * static_cast<std::size_t>(shape.height);
}

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
void withTriangle(const Vertex& v0, const Vertex& v1, const Vertex& v2, const GridShape& shape, const CornerRule* rule,
                  Visit&& visit) {
  const Vertex corners[3] = {v0, v1, v2};
  const SampledMesh mesh =
      viewOfRecords(reinterpret_cast<const std::uint8_t*>(corners), sizeof(Vertex), 3, false);
  TexelTriangle triangle(rule);
  visit(triangle, triangle.layOut(mesh, {0, 1, 2}, shape));
}

}  // namespace

ScanRange scanRange(float minimum, float maximum, std::int32_t extent, float offset) {
  // Truncation toward zero is monotonic, so clamping in floating point first
  // gives exactly the in-grid part of trunc(min - offset) .. trunc(max + 1.0 -
  // offset). Taking off an offset of 0 or 1/2 is exact in double wherever
  // the result is not clamped.
  const double highest = static_cast<double>(extent) - 1.0;
  double first = static_cast<double>(minimum) - offset;
  first = first < 0.0 ? 0.0 : first > highest + 1.0 ? highest + 1.0 : first;
  double last = static_cast<double>(maximum) + 1.0 - offset;
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

void rasteriseTriangle(const Vertex& v0, const Vertex& v1, const Vertex& v2, const GridShape& shape, SampleGrid& grid) {
  withTriangle(v0, v1, v2, shape, &kCornerRule, [&](TexelTriangle& triangle, Layout layout) {
    if (layout != Layout::Ready) return;
    // Rows outer, columns inner; within one triangle the order changes nothing.
    for (std::int32_t row = triangle.rows().first; row <= triangle.rows().last; ++row) {
      for (std::int32_t col = triangle.cols().first; col <= triangle.cols().last; ++col) {
        if (shape.sampleOffset != 0.0f) {
          triangle.sample<true>(col, row, grid.at(col, row));
        } else {
          triangle.sample<false>(col, row, grid.at(col, row));
        }
      }
    }
  });
}

void forEachCoveredTexel(const Vertex& v0, const Vertex& v1, const Vertex& v2, const GridShape& shape,
                         const std::function<void(std::int32_t col, std::int32_t row)>& visit,
                         const CornerRule* rule) {
  withTriangle(v0, v1, v2, shape, rule, [&](TexelTriangle& triangle, Layout layout) {
    if (layout != Layout::Ready) return;
    for (std::int32_t row = triangle.rows().first; row <= triangle.rows().last; ++row) {
      for (std::int32_t col = triangle.cols().first; col <= triangle.cols().last; ++col) {
        if (triangle.covers(col, row)) visit(col, row);
      }
    }
  });
}

bool isDegenerateInLightmap(const Vertex& v0, const Vertex& v1, const Vertex& v2, const GridShape& shape) {
  // A triangle without a corner to visit is not degenerate: its area is there.
  bool degenerate = true;
  withTriangle(v0, v1, v2, shape, nullptr,
               [&](TexelTriangle&, Layout layout) { degenerate = layout == Layout::Degenerate; });
  return degenerate;
}

bool rasteriseMeshRecords(std::span<const MeshRecord> meshes, const GridShape& shape, SampleGrid& grid,
                          const RasteriseOptions& options) {
  std::vector<SampledMesh> sampled;
  sampled.reserve(meshes.size());
  for (const MeshRecord& mesh : meshes) sampled.push_back(sampledMeshOf(mesh));
  return rasteriseMeshes(sampled, shape, grid, options);
}

std::size_t workersFor(std::size_t triangles, const GridShape& shape, const RasteriseOptions& options) {
  if (options.exactThreads > 0) return options.exactThreads;
  const std::size_t work = triangles + texelsOf(shape) / 8;
  std::size_t workers = std::min({usableProcessorCount(), std::size_t{8}, 1 + work / kWorkPerExtraWorker});
  if (options.maxThreads > 0) workers = std::min(workers, options.maxThreads);
  return workers;
}

BackwardRasteriser::BackwardRasteriser(const GridShape& shape, SampleGrid& grid, std::size_t workers,
                                       const RasteriseOptions& options, std::size_t totalTriangles)
    : shape_(shape),
      grid_(grid),
      options_(options),
      // Many more triangles than texels: the work is per triangle, and the
      // workers split the triangles; otherwise per texel, and they split the rows.
      splitTriangles_(totalTriangles > texelsOf(shape) / 4),
      // Bands: a power of two, no more than the stripes of rows.
      workers_(static_cast<std::int32_t>(std::bit_floor(std::clamp<std::size_t>(
          workers, 1, static_cast<std::size_t>((shape.height + Band::kStripeRows - 1) / Band::kStripeRows))))),
      settled_(std::make_unique<SettledTexels>(shape.width, shape.height, splitTriangles_ ? 1 : workers_,
                                               SampleGridAccess::coverage(grid))),
      tracker_(std::make_unique<WorkTracker>(std::max<std::size_t>(totalTriangles, 1), options)) {
  if (splitTriangles_) workers_ = static_cast<std::int32_t>(std::max<std::size_t>(workers, 1));
  if (workers_ > 1) initialiseKernelTable();  // once, before any thread calls the kernel
}

BackwardRasteriser::~BackwardRasteriser() = default;

bool BackwardRasteriser::allSettled() const { return settled_->allSettled(); }

namespace {

// What one run of meshes is rasterised into, and by how many workers.
struct RunTarget {
  const GridShape& shape;
  SampleGrid& grid;
  SettledTexels& settled;
  WorkTracker& tracker;
  std::int32_t workers;
  bool splitTriangles;
};

template <bool kChannels, bool kCentre>
bool rasteriseRun(std::span<const SampledMesh> meshes, std::size_t firstMesh, const RunTarget& target) {
  std::size_t triangles = 0;
  for (const SampledMesh& mesh : meshes) triangles += mesh.triangleCount;
  const TrianglePosition whole = {0, 0}, end = {meshes.size(), 0};
  const std::int32_t workers = target.workers;
  GridSink<kChannels> gridSink{target.grid};
  if (workers == 1 || triangles < 2 * static_cast<std::size_t>(workers)) {
    return rasteriseStretch<kCentre>(meshes, firstMesh, {whole, end, Band{}, true, true}, target.shape, gridSink,
                            target.settled, target.tracker);
  }
  std::vector<char> completed(static_cast<std::size_t>(workers), 0);
  if (!target.splitTriangles) {
    // Each worker takes every triangle, in the rows of its band.
    onWorkers(static_cast<std::size_t>(workers), [&](std::size_t index) {
      GridSink<kChannels> sink{target.grid};
      const Stretch stretch{whole, end, Band{workers, static_cast<std::int32_t>(index)}, index == 0, index == 0};
      completed[index] =
          rasteriseStretch<kCentre>(meshes, firstMesh, stretch, target.shape, sink, target.settled, target.tracker);
    });
    return std::all_of(completed.begin(), completed.end(), [](char done) { return done != 0; });
  }

  // Each worker takes a stretch of the triangles. The last stretch writes
  // into the grid; the others keep their samples aside, with texels settled
  // so far (by later runs) already counted as settled, and after them the
  // samples of texels no later stretch settled are moved into the grid.
  const auto stretches = static_cast<std::size_t>(workers);
  std::vector<std::unique_ptr<SettledTexels>> settledAside(stretches - 1);
  std::vector<std::vector<KeptSample>> kept(stretches - 1);
  std::vector<std::vector<TexelOrigin>> origins(stretches - 1);  // empty without channels
  for (auto& copy : settledAside) copy = std::make_unique<SettledTexels>(target.settled);
  onWorkers(stretches, [&](std::size_t index) {
    const std::size_t part = stretches - 1 - index;  // worker 0 takes the last stretch
    const TrianglePosition from = positionOf(meshes, triangles * part / stretches);
    const TrianglePosition to = part + 1 == stretches ? end : positionOf(meshes, triangles * (part + 1) / stretches);
    if (part + 1 == stretches) {
      completed[index] = rasteriseStretch<kCentre>(meshes, firstMesh, {from, to, Band{}, true, true}, target.shape, gridSink,
                                          target.settled, target.tracker);
    } else {
      ListSink<kChannels> sink{kept[part], origins[part]};
      completed[index] = rasteriseStretch<kCentre>(meshes, firstMesh, {from, to, Band{}, true, false}, target.shape, sink,
                                          *settledAside[part], target.tracker);
    }
  });
  if (!std::all_of(completed.begin(), completed.end(), [](char done) { return done != 0; })) return false;
  for (std::size_t part = stretches - 1; part-- > 0;) {
    for (std::size_t k = 0; k < kept[part].size(); ++k) {
      const KeptSample& sample = kept[part][k];
      if (target.settled.isSettled(sample.col, sample.row)) continue;
      target.grid.at(sample.col, sample.row) = sample.sample;
      target.settled.settle(sample.col, sample.row, Band{});
      if constexpr (kChannels) gridSink.channels.write(sample.col, sample.row, origins[part][k]);
    }
  }
  return true;
}

}  // namespace

bool BackwardRasteriser::rasterise(std::span<const SampledMesh> meshes, std::size_t firstMesh) {
  const RunTarget target{shape_, grid_, *settled_, *tracker_, workers_, splitTriangles_};
  // Instances for each kind of grid, so that the texel loops test nothing more.
  const bool channels = ChannelWriter(grid_).any(), centres = shape_.sampleOffset != 0.0f;
  if (channels) {
    return centres ? rasteriseRun<true, true>(meshes, firstMesh, target)
                   : rasteriseRun<true, false>(meshes, firstMesh, target);
  }
  return centres ? rasteriseRun<false, true>(meshes, firstMesh, target)
                 : rasteriseRun<false, false>(meshes, firstMesh, target);
}

bool BackwardRasteriser::coverSmallTriangles(std::span<const SampledMesh> meshes) {
  if (settled_->allSettled()) return true;  // every texel covered: no centroid can land
  return placeSmallTriangles(meshes, shape_, grid_, static_cast<std::size_t>(workers_), options_.cancel);
}

bool BackwardRasteriser::finish() {
  markUncoveredIds(grid_);
  tracker_->finish();
  return !tracker_->stopped();
}

bool rasteriseMeshes(std::span<const SampledMesh> meshes, const GridShape& shape, SampleGrid& grid,
                     const RasteriseOptions& options) {
  std::size_t total = 0;
  for (const SampledMesh& mesh : meshes) total += mesh.triangleCount;
  BackwardRasteriser rasteriser(shape, grid, workersFor(total, shape, options), options, total);
  if (!rasteriser.rasterise(meshes)) return false;
  if (options.coverSmallTriangles && !rasteriser.coverSmallTriangles(meshes)) return false;
  return rasteriser.finish();
}

}  // namespace lumivex
