#pragma once
// The loaded mesh file: groups of meshes, each with its vertex records and
// its 16-bit triangle-list indices.

#include <lumivex/lumivex.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mesh/array_allocator.h"

namespace lumivex {

class ByteReader;

using VertexBytes = std::vector<std::uint8_t, ArrayAllocator<std::uint8_t>>;
using IndexArray = std::vector<std::uint16_t, ArrayAllocator<std::uint16_t>>;

inline constexpr std::int32_t kFormatCode40ByteSlots = 1041;  // 0x411
inline constexpr std::int32_t kFormatCodeVertexSized = 9233;  // 0x2411
inline constexpr std::int32_t kSampledVertexStride = 40;

struct MeshRecord {
  std::int32_t vertexSize = 0;    // bytes per vertex record in the file
  std::int32_t vertexStride = 0;  // bytes per slot the sampler reads: 40 for format 1041, else vertexSize
  std::int32_t formatKind = 0;    // 2 for format codes 1041 and 9233, else 0
  std::int32_t vertexCount = 0;
  std::int32_t indexCount = 0;
  // The records as stored, recordBytes() each: memory follows the file. Only
  // a format-1041 record longer than its 40-byte slot is kept shorter: its
  // first 40 bytes, all the sampler reads.
  VertexBytes vertices;
  IndexArray indices;  // indexCount entries, native byte order
  // Where the arrays start in the file (a source of known length only).
  std::uint64_t vertexOffset = 0;
  std::uint64_t indexOffset = 0;

  std::size_t recordBytes() const {
    return static_cast<std::size_t>(std::min(vertexSize, vertexStride) > 0 ? std::min(vertexSize, vertexStride) : 0);
  }
};

struct MeshGroup {
  std::int32_t meshCount = 0;
  std::vector<MeshRecord> meshes;
};

struct MeshSet {
  std::int32_t groupCount = 0;
  std::vector<MeshGroup> groups;
};

// How a group with many megabytes of arrays is read from a source of known length.
struct ReadOptions {
  // Groups with at least this many bytes of arrays are read by position, by
  // several threads; smaller ones in order through the buffer.
  std::uint64_t parallelReadBytes = std::uint64_t{8} << 20;
  // Threads for such a group; 0: as many as the process may run on, up to 4.
  std::size_t readThreads = 0;
  // From a source of known length: check every header and array length, note
  // where each array lies, and read none of them.
  bool skipArrays = false;
};

// Reads a whole mesh file from `reader` into the empty `set`. A damaged file
// (Damaged, or ReadError) leaves the set empty; the problem and its offset
// are in the result. Throws std::bad_alloc when memory runs out.
Result readMeshSet(ByteReader& reader, MeshSet& set, const ReadOptions& options = {});

// Format code to slot size and kind.
std::int32_t vertexStrideFor(std::int32_t formatCode, std::int32_t vertexSize);
std::int32_t formatKindFor(std::int32_t formatCode);

}  // namespace lumivex
