#pragma once
// sampleMeshFile with the sizes of its runs given (tests make them small).

#include <lumivex/lumivex.h>

#include <cstdint>

namespace lumivex {

struct RunLimits {
  // Runs of meshes are cut at about this many bytes; a mesh larger than that
  // makes a run alone.
  std::uint64_t runBytes = std::uint64_t{4} << 20;
  // A first group with a mesh larger than this is loaded whole instead (a
  // format-1041 mesh of long records takes far less memory loaded).
  std::uint64_t largestStreamedMesh = std::uint64_t{64} << 20;
};

Result sampleMeshFileInRuns(const char* path, GridSize size, SampleGrid& grid, const LoadOptions& load,
                            const SampleOptions& options, const RunLimits& limits) noexcept;

class ByteSource;
// The same from any source (tests give sources that fail): `load.opened` is
// called first, as if the source had just been opened. A source that changed
// while it was read is a ReadError.
Result sampleSourceInRuns(ByteSource& source, GridSize size, SampleGrid& grid, const LoadOptions& load,
                          const SampleOptions& options, const RunLimits& limits) noexcept;

// Square grids.
inline Result sampleMeshFileInRuns(const char* path, std::int32_t size, SampleGrid& grid, const LoadOptions& load,
                                   const SampleOptions& options, const RunLimits& limits) noexcept {
  return sampleMeshFileInRuns(path, GridSize{size, size}, grid, load, options, limits);
}
inline Result sampleSourceInRuns(ByteSource& source, std::int32_t size, SampleGrid& grid, const LoadOptions& load,
                                 const SampleOptions& options, const RunLimits& limits) noexcept {
  return sampleSourceInRuns(source, GridSize{size, size}, grid, load, options, limits);
}

}  // namespace lumivex
