#pragma once
// Lumivex: the sample points of a lightmap.
//
// Every triangle of a mesh is laid into lightmap texel space through its
// vertices' lightmap coordinates (u, v) scaled by the grid's size; every texel
// whose corner point (col, row) lies in a triangle (edges and corners
// included) receives the surface position and the unit surface normal that
// map to it. Columns follow u and rows follow v, with no flip: v = 0 is row 0.
// Where several triangles cover a texel, the last one (in mesh order, then
// triangle order) wins. A texel that no triangle covers holds six +0.0.
//
// The arithmetic is defined to the bit; the same input gives the same bytes
// on every machine and in every build, for one kernel family (see
// "Settings" in the README: SIMD routines where the processor has them,
// portable ones otherwise or when disabled).
//
// Rules that hold for every function below:
// - Nothing prints, exits or throws. Every failure, running out of memory
//   included, is a Result.
// - Functions may be called from several threads at once, on different
//   objects. An object (MeshFile, SampleGrid) may be read by several threads
//   at once while nothing writes it.
// - Callbacks are called from one thread at a time; a callback that throws
//   stops the work as if it had been cancelled.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#if defined(LUMIVEX_BUILDING_SHARED)
#define LUMIVEX_API __attribute__((visibility("default")))
#else
#define LUMIVEX_API
#endif

namespace lumivex {

inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 1;
inline constexpr int kVersionPatch = 0;
// "1.1.0": the version of the library the program runs with.
LUMIVEX_API const char* version() noexcept;

// ---------------------------------------------------------------- results

enum class Status : int {
  Ok = 0,
  CannotOpen,       // missing, unreadable, or a folder
  Damaged,          // cut short, or a count or length no valid file has
  ReadError,        // the system failed to read the file
  InvalidArgument,  // an argument breaks the rules stated for it
  OutOfMemory,
  Cancelled,        // the cancel flag was set, or a callback threw
  CannotWrite,      // an output file could not be written completely
  DoesNotFit,       // a layout's charts do not fit the lightmap (at the density asked for)
};

struct Result {
  Status status = Status::Ok;
  // What went wrong, in a few words of static text: "index array cut short",
  // "positions: length is not a multiple of 3". Empty when Ok.
  const char* problem = "";
  // Damaged and ReadError: the byte offset in the file where the problem was
  // found. InvalidArgument: the position of the offending element, where
  // there is one (an index entry, say). Otherwise 0.
  std::uint64_t offset = 0;
  // InvalidArgument about the arrays of one of several meshes: the mesh's
  // position in the list. Otherwise 0.
  std::uint64_t mesh = 0;

  bool ok() const noexcept { return status == Status::Ok; }
  explicit operator bool() const noexcept { return ok(); }
};

// The reason as the command prints it: "index array cut short at byte 208"
// for damaged files and read errors, the problem alone otherwise.
inline std::string reason(const Result& result) {
  if (result.status == Status::Damaged || result.status == Status::ReadError) {
    return std::string(result.problem) + " at byte " + std::to_string(result.offset);
  }
  return result.problem;
}

// ---------------------------------------------------------------- values

struct Vector3 {
  float x;
  float y;
  float z;
};
static_assert(sizeof(Vector3) == 12);

// The 40-byte vertex record the sampler reads: ten floats.
struct Vertex {
  Vector3 position;
  Vector3 normal;
  float uv[2];       // first texture-coordinate pair; not read by the sampler
  float lightmapU;   // second pair: the lightmap coordinates
  float lightmapV;
};
static_assert(sizeof(Vertex) == 40);

// One texel: position, then unit normal; six +0.0 where nothing covers it.
struct Sample {
  Vector3 position;
  Vector3 normal;
};
static_assert(sizeof(Sample) == 24);

inline constexpr std::int32_t kSmallestSize = 1;
inline constexpr std::int32_t kLargestSize = 16384;

// ---------------------------------------------------------------- samples grid

// size x size samples in one block, row-major: texel (col, row) is
// data()[row * size + col]. Move-only; an empty grid has size 0.
class LUMIVEX_API SampleGrid {
 public:
  SampleGrid() noexcept = default;
  ~SampleGrid();
  SampleGrid(SampleGrid&& other) noexcept;
  SampleGrid& operator=(SampleGrid&& other) noexcept;
  SampleGrid(const SampleGrid&) = delete;
  SampleGrid& operator=(const SampleGrid&) = delete;

  std::int32_t size() const noexcept { return size_; }
  std::size_t cellCount() const noexcept { return static_cast<std::size_t>(size_) * static_cast<std::size_t>(size_); }
  Sample* data() noexcept { return samples_; }
  const Sample* data() const noexcept { return samples_; }
  std::span<Sample> samples() noexcept { return {samples_, cellCount()}; }
  std::span<const Sample> samples() const noexcept { return {samples_, cellCount()}; }
  // No bounds check: 0 <= col, row < size.
  Sample& at(std::int32_t col, std::int32_t row) noexcept { return samples_[index(col, row)]; }
  const Sample& at(std::int32_t col, std::int32_t row) const noexcept { return samples_[index(col, row)]; }
  // True unless all six values of the texel are +0.0 (bit for bit).
  bool covered(std::int32_t col, std::int32_t row) const noexcept;

  // An all-zero grid of the given size (1 to 16384), replacing what `grid`
  // held: InvalidArgument for other sizes, OutOfMemory when it cannot be had.
  static Result make(std::int32_t size, SampleGrid& grid) noexcept;

 private:
  friend struct SampleGridAccess;
  std::size_t index(std::int32_t col, std::int32_t row) const noexcept {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(size_) + static_cast<std::size_t>(col);
  }
  std::int32_t size_ = 0;
  Sample* samples_ = nullptr;
  std::size_t mappedBytes_ = 0;  // the block, when it came straight from the system
};

// Samples files: the size twice (little-endian int32), then 24 bytes per
// texel, six little-endian floats, row by row.
//
// Writes the file so that it is either complete or not touched at all: a
// temporary file beside it is written, flushed to the disk and renamed over
// it. An existing file keeps its permissions. CannotWrite on any failure.
LUMIVEX_API Result writeSamplesFile(const char* path, const SampleGrid& grid) noexcept;
// Writes any file the same way: complete, or not touched at all. For what a
// pipeline writes beside a samples file (reports, images). CannotWrite on any
// failure.
LUMIVEX_API Result writeWholeFile(const char* path, std::span<const std::uint8_t> bytes) noexcept;
// Reads a samples file of any size from 1 to 16384: CannotOpen, Damaged (the
// header is not the size twice, or the length is not 8 + 24 x size x size;
// the offset says where), ReadError, OutOfMemory.
LUMIVEX_API Result readSamplesFile(const char* path, SampleGrid& grid) noexcept;

// ---------------------------------------------------------------- mesh files

// One mesh as loaded from a mesh file.
struct MeshView {
  std::int32_t vertexSize = 0;    // bytes per vertex record in the file
  std::int32_t vertexStride = 0;  // 40 for format code 1041, otherwise vertexSize
  std::int32_t formatKind = 0;    // 2 for format codes 1041 and 9233, otherwise 0
  std::int32_t vertexCount = 0;
  std::int32_t indexCount = 0;
  // Bytes per record in vertexRecords: vertexSize, except that of a
  // format-1041 record longer than its 40-byte slot only those 40 bytes are
  // kept (the sampler reads no more).
  std::size_t recordBytes = 0;
  // The vertex records as stored in the file, little-endian:
  // vertexCount x recordBytes bytes.
  std::span<const std::uint8_t> vertexRecords;
  // The triangle list, in native byte order; entries after the last whole
  // triple belong to no triangle.
  std::span<const std::uint16_t> indices;

  // Only meshes with 40-byte slots are sampled (format 1041, or vertex size 40).
  bool sampled() const noexcept { return vertexStride == 40; }
  // Vertex k (below vertexCount) as the sampler reads it: the first 40 bytes
  // of its record, with zeros past a shorter record.
  LUMIVEX_API Vertex vertex(std::size_t k) const noexcept;
};

// A loaded mesh file: groups of meshes. Move-only.
class LUMIVEX_API MeshFile {
 public:
  MeshFile() noexcept;
  ~MeshFile();
  MeshFile(MeshFile&& other) noexcept;
  MeshFile& operator=(MeshFile&& other) noexcept;
  MeshFile(const MeshFile&) = delete;
  MeshFile& operator=(const MeshFile&) = delete;

  std::int32_t groupCount() const noexcept;
  // The meshes of group g; empty for a group that does not exist.
  std::span<const MeshView> group(std::size_t g) const noexcept;

  struct Data;  // the library's own

 private:
  friend struct MeshFileAccess;
  std::unique_ptr<Data> data_;
};

struct LoadOptions {
  // Called once the file is open, before it is read.
  std::function<void()> opened;
  // Called once the whole file is found sound: read (loadMeshFile), or
  // checked, every header and length (sampleMeshFile), before sampling.
  std::function<void()> loaded;
  // Threads reading a group with many megabytes of arrays; 0: as many as the
  // process may run on, up to 4.
  std::size_t threads = 0;
};

// Reads a whole mesh file. A file that ends early, or holds a negative count
// or vertex size, a name length outside 0 to 1023, an array over
// 2,147,483,647 bytes, or a format-1041 mesh of vertex size 0 with vertices,
// is Damaged: `problem` names it and `offset` gives its byte offset; `file` is
// then left empty. A file is read front to back without seeking, so the path
// may name a pipe. The loaded file takes about its own size in memory.
LUMIVEX_API Result loadMeshFile(const char* path, MeshFile& file, const LoadOptions& options = {}) noexcept;
// The same for a mesh file held in memory (the bytes are copied).
LUMIVEX_API Result loadMeshFileFromMemory(std::span<const std::uint8_t> bytes, MeshFile& file,
                                          const LoadOptions& options = {}) noexcept;

// ---------------------------------------------------------------- sampling

struct SampleOptions {
  // Threads at most; 0: as many as the process may run on. Small inputs use fewer.
  std::size_t threads = 0;
  // Called now and then with the share of the triangles done (0 to 1), and
  // with 1 at the end.
  std::function<void(double fraction)> progress;
  // Set to true (from any thread) to stop: the call returns Cancelled and the
  // grid's contents are unspecified.
  const std::atomic<bool>* cancel = nullptr;
};

// A mesh held by the caller: vertices either as 40-byte records or as three
// separate arrays, and triangles as 16- or 32-bit indices (three per
// triangle). Exactly one vertex form and one index form must be given.
//
// The arrays may be interleaved: with a stride, an array's vertices lie that
// many bytes apart (a multiple of 4, at least the attribute's own size), and
// its span runs from the first vertex's attribute to at least the end of the
// last one's; the count of vertices is the number of whole attributes the
// span holds at that stride, and must be the same for every array. A view
// into one vertex buffer of 32-byte vertices (position at byte 0, normal at
// 12, lightmap UV at 24) is `positions = buffer.subspan(0)`, `normals =
// buffer.subspan(3)`, `lightmapUvs = buffer.subspan(6)`, every stride 32.
struct MeshArrays {
  std::span<const Vertex> vertices;
  std::span<const float> positions;    // x, y, z per vertex
  std::span<const float> normals;      // x, y, z per vertex
  std::span<const float> lightmapUvs;  // u, v per vertex
  std::size_t positionStride = 0;      // bytes from one vertex's position to the next; 0: 12 (packed)
  std::size_t normalStride = 0;        // likewise; 0: 12
  std::size_t lightmapUvStride = 0;    // likewise; 0: 8
  std::span<const std::uint16_t> indices16;
  std::span<const std::uint32_t> indices32;
};

// Samples the meshes, in order, into a new grid of `size` texels on a side
// (1 to 16384), which replaces what `grid` held. The arrays are checked first:
// a length that does not fit the others, or an index naming no vertex, is
// InvalidArgument naming the argument (mesh: the mesh's position in `meshes`;
// offset: that position again for a length, the entry for an index), and no
// sampling is done.
// Triangles of zero area in the lightmap, or with a non-finite lightmap
// coordinate, are skipped; texels outside the grid are dropped.
LUMIVEX_API Result sampleMeshes(std::span<const MeshArrays> meshes, std::int32_t size, SampleGrid& grid,
                                const SampleOptions& options = {}) noexcept;
LUMIVEX_API Result sampleMesh(const MeshArrays& mesh, std::int32_t size, SampleGrid& grid,
                              const SampleOptions& options = {}) noexcept;

// Samples the first group of a loaded file into a new grid, exactly as the
// `lumivex` command does: meshes whose slots are not 40 bytes and triangles
// naming a vertex past the end of their mesh are skipped.
LUMIVEX_API Result sampleFirstGroup(const MeshFile& file, std::int32_t size, SampleGrid& grid,
                                    const SampleOptions& options = {}) noexcept;

// Samples the first group of a mesh file exactly as sampleFirstGroup does,
// without holding the file in memory: every header and length is checked
// first (a damaged file is refused before `loaded` is called and before any
// sampling), then the first group is read from its last mesh back, a few
// megabytes at a time, while it is sampled, and reading stops once every
// texel holds its final sample. A file that cannot be read by position (a
// pipe) is loaded whole first. A read that fails part-way is ReadError.
LUMIVEX_API Result sampleMeshFile(const char* path, std::int32_t size, SampleGrid& grid,
                                  const LoadOptions& load = {}, const SampleOptions& options = {}) noexcept;

}  // namespace lumivex
