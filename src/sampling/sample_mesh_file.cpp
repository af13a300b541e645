// Sampling a mesh file without holding it in memory: the headers are checked
// first, then the first group is read from its end in runs of meshes of a
// few megabytes, each sampled while the run before it is read.

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "api/guarded.h"
#include "mesh/array_allocator.h"
#include "mesh/byte_reader.h"
#include "mesh/mesh_file_access.h"
#include "mesh/mesh_set.h"
#include "output/sample_grid.h"
#include "math/processor_count.h"
#include "sampling/rasteriser.h"
#include "sampling/sample_mesh_file.h"
#include "sampling/sampling_setup.h"

namespace lumivex {

namespace {


std::uint64_t dataEnd(const MeshRecord& mesh) { return mesh.indexOffset + 2 * std::uint64_t(mesh.indexCount); }

// Consecutive meshes [first, last] of the group and the bytes they span.
struct Run {
  std::size_t first;
  std::size_t last;
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t bytes() const { return end - start; }
};

// The runs, last first.
std::vector<Run> runsFromTheEnd(const std::vector<MeshRecord>& meshes, std::uint64_t runBytes) {
  std::vector<Run> runs;
  for (std::size_t m = meshes.size(); m-- > 0;) {
    if (!runs.empty() && runs.back().end - meshes[m].vertexOffset <= runBytes) {
      runs.back().first = m;
      runs.back().start = meshes[m].vertexOffset;
    } else {
      runs.push_back({m, m, meshes[m].vertexOffset, dataEnd(meshes[m])});
    }
  }
  return runs;
}

// A buffer of raw bytes that grows only, uninitialised, on huge pages where
// it is large (fewer page faults to fill it).
struct Buffer {
  std::unique_ptr<ArrayArena> block;
  std::size_t capacity = 0;
  std::uint8_t* hold(std::size_t size) {
    if (size > capacity) {
      block.reset();
      block = std::make_unique<ArrayArena>(size);
      capacity = size;
    }
    return static_cast<std::uint8_t*>(block->take(0));
  }
};

// The whole file in memory, then sampled: for sources that cannot be read by
// position, and groups too large to read in runs.
Result loadWholeAndSample(ByteSource& source, GridSize size, SampleGrid& grid, const LoadOptions& load,
                          const SampleOptions& options) {
  MeshSet set;
  ByteReader reader(source);
  ReadOptions read;
  read.readThreads = load.threads;
  if (const Result loaded = readMeshSet(reader, set, read); !loaded) return loaded;
  if (source.changedSinceOpened()) return changedWhileRead();
  if (!calledBack(load.loaded)) return cancelled();
  SampleGrid fresh = freshGridFor(size, options);
  const std::span<const MeshRecord> first =
      set.groupCount > 0 ? std::span<const MeshRecord>(set.groups.front().meshes) : std::span<const MeshRecord>();
  if (!rasteriseMeshRecords(first, GridShape(size, options.samplePoint), fresh, rasteriseOptionsOf(options))) {
    return cancelled();
  }
  grid = std::move(fresh);
  return {};
}

// Samples the first group of a checked layout, reading its runs by position.
Result sampleInRuns(const ByteSource& source, const ByteReader& reader, const std::vector<MeshRecord>& meshes,
                    GridSize size, SampleGrid& grid, const SampleOptions& options, std::uint64_t kRunBytes) {
  std::size_t triangles = 0;
  for (const MeshRecord& mesh : meshes) triangles += sampledMeshInFileBytes(mesh, nullptr, nullptr).triangleCount;
  const RasteriseOptions rasteriseOptions = rasteriseOptionsOf(options);
  SampleGrid fresh = freshGridFor(size, options);
  const GridShape shape(size, options.samplePoint);
  BackwardRasteriser rasteriser(shape, fresh, workersFor(triangles, shape, rasteriseOptions), rasteriseOptions,
                                triangles);

  const std::vector<Run> runs = runsFromTheEnd(meshes, kRunBytes);
  // Two buffers for runs of ordinary size, so that the next is read while
  // this one is sampled; a larger run is read on its own.
  Buffer buffers[2];
  Buffer large;
  const auto place = [&](std::size_t r) {
    return runs[r].bytes() <= kRunBytes ? buffers[r % 2].hold(static_cast<std::size_t>(kRunBytes))
                                        : large.hold(static_cast<std::size_t>(runs[r].bytes()));
  };
  const auto read = [&](std::size_t r, std::uint8_t* destination) {
    return reader.readAt(runs[r].start, destination, static_cast<std::size_t>(runs[r].bytes()));
  };
  const bool readAhead = usableProcessorCount() > 1;

  std::uint8_t* current = runs.empty() ? nullptr : place(0);
  if (!runs.empty() && !read(0, current)) return {Status::ReadError, "read error", runs[0].start};
  std::vector<SampledMesh> views;
  for (std::size_t r = 0; r < runs.size() && !rasteriser.allSettled(); ++r) {
    // The run before this one is read while this one is sampled.
    std::uint8_t* next = r + 1 < runs.size() ? place(r + 1) : nullptr;
    const bool alongside = next != nullptr && readAhead && runs[r].bytes() <= kRunBytes && runs[r + 1].bytes() <= kRunBytes;
    bool nextRead = true;
    std::jthread reading;
    if (alongside) reading = std::jthread([&, r] { nextRead = read(r + 1, next); });

    views.clear();
    for (std::size_t m = runs[r].first; m <= runs[r].last; ++m) {
      views.push_back(sampledMeshInFileBytes(meshes[m], current + (meshes[m].vertexOffset - runs[r].start),
                                             current + (meshes[m].indexOffset - runs[r].start)));
    }
    const bool sampled = rasteriser.rasterise(views, runs[r].first);
    if (reading.joinable()) reading.join();
    if (!sampled) return cancelled();
    if (next != nullptr) {
      if (!alongside) {
        if (rasteriser.allSettled()) break;
        nextRead = read(r + 1, next);
      }
      if (!nextRead) return {Status::ReadError, "read error", runs[r + 1].start};
    }
    current = next;
  }
  // After the last read: the bytes sampled must all be those of one file.
  if (source.changedSinceOpened()) return changedWhileRead();
  if (!rasteriser.finish()) return cancelled();
  grid = std::move(fresh);
  return {};
}

}  // namespace

namespace {

Result sampleSource(ByteSource& source, GridSize size, SampleGrid& grid, const LoadOptions& load,
                    const SampleOptions& options, const RunLimits& limits) {
  if (!calledBack(load.opened)) return cancelled();
  // Small triangles are placed after every triangle has been sampled, so
  // they need the whole group at hand.
  if (!source.length() || options.coverSmallTriangles) return loadWholeAndSample(source, size, grid, load, options);

  // Every header and length first, no array (so a small buffer serves).
  MeshSet layout;
  ByteReader reader(source, std::size_t{64} << 10);
  ReadOptions check;
  check.skipArrays = true;
  if (const Result checked = readMeshSet(reader, layout, check); !checked) return checked;
  const std::vector<MeshRecord> none;
  const std::vector<MeshRecord>& meshes = layout.groupCount > 0 ? layout.groups.front().meshes : none;
  if (std::any_of(meshes.begin(), meshes.end(), [&limits](const MeshRecord& mesh) {
        return dataEnd(mesh) - mesh.vertexOffset > limits.largestStreamedMesh;
      })) {
    return loadWholeAndSample(source, size, grid, load, options);
  }
  if (!calledBack(load.loaded)) return cancelled();
  return sampleInRuns(source, reader, meshes, size, grid, options, limits.runBytes);
}

}  // namespace

Result sampleSourceInRuns(ByteSource& source, GridSize size, SampleGrid& grid, const LoadOptions& load,
                          const SampleOptions& options, const RunLimits& limits) noexcept {
  if (const Result checked = checkSampling(size, options); !checked) return checked;
  return guarded([&]() -> Result {
    // Either cancel flag stops the reading as well as the sampling.
    CancellableSource cancellable(source, load.cancel, options.cancel);
    const Result result = sampleSource(cancellable, size, grid, load, options, limits);
    return cancellable.cancelled() && !result ? cancelled() : result;
  });
}

Result sampleMeshFileInRuns(const char* path, GridSize size, SampleGrid& grid, const LoadOptions& load,
                            const SampleOptions& options, const RunLimits& limits) noexcept {
  if (isNullPath(path)) return nullPath();
  if (const Result checked = checkSampling(size, options); !checked) return checked;
  return guarded([&]() -> Result {
    const OpenFile opened(path);
    if (opened.descriptor < 0) return {Status::CannotOpen, "cannot open the file"};
    FileDescriptorSource source(opened.descriptor);
    return sampleSourceInRuns(source, size, grid, load, options, limits);
  });
}

Result sampleMeshFile(const char* path, GridSize size, SampleGrid& grid, const LoadOptions& load,
                      const SampleOptions& options) noexcept {
  return sampleMeshFileInRuns(path, size, grid, load, options, RunLimits{});
}

Result sampleMeshFile(const char* path, std::int32_t size, SampleGrid& grid, const LoadOptions& load,
                      const SampleOptions& options) noexcept {
  return sampleMeshFileInRuns(path, GridSize{size, size}, grid, load, options, RunLimits{});
}

}  // namespace lumivex
