#pragma once
// The loaded mesh file: groups of meshes, each with its vertex slots and its
// 16-bit triangle-list indices.

#include <cstddef>
#include <cstdint>
#include <string>
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
  std::int32_t vertexStride = 0;  // bytes per slot in `vertices`
  std::int32_t formatKind = 0;    // 2 for format codes 1041 and 9233, else 0
  std::int32_t vertexCount = 0;
  std::int32_t indexCount = 0;
  VertexBytes vertices;  // vertexCount * vertexStride bytes
  IndexArray indices;    // indexCount entries
};

struct MeshGroup {
  std::int32_t meshCount = 0;
  std::vector<MeshRecord> meshes;
};

enum class LoadStatus {
  Loaded,
  CannotOpen,  // missing, unreadable, or a directory
  Damaged,     // cut short, or a count or length no valid file has
};

struct LoadOutcome {
  LoadStatus status = LoadStatus::Loaded;
  std::string problem;       // set when damaged, e.g. "index array cut short"
  std::uint64_t offset = 0;  // byte offset in the file where the problem was found

  // "index array cut short at byte 208"
  std::string reason() const;
};

// How a group with many megabytes of arrays is read from a source of known length.
struct LoadOptions {
  // Groups with at least this many bytes of arrays are read by position, by
  // several threads; smaller ones in order through the buffer.
  std::uint64_t parallelReadBytes = std::uint64_t{8} << 20;
  // Threads for such a group; 0: as many as the process may run on, up to 4.
  std::size_t readThreads = 0;
};

class MeshSet {
 public:
  std::int32_t groupCount = 0;
  std::vector<MeshGroup> groups;

  // Opens and reads the whole file; prints "Opened . " once open and
  // "Loaded . " once everything has been read. Prints nothing else.
  LoadOutcome load(const std::string& fileName, const LoadOptions& options = {});
};

// Reads a whole mesh file from `reader` into the empty `set`; prints nothing.
LoadOutcome readMeshSet(ByteReader& reader, MeshSet& set, const LoadOptions& options = {});

// Format code to slot size and kind.
std::int32_t vertexStrideFor(std::int32_t formatCode, std::int32_t vertexSize);
std::int32_t formatKindFor(std::int32_t formatCode);

}  // namespace lumivex
