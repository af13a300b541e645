#pragma once
// Lumivex: the sample points of a lightmap.
//
// Every triangle of a mesh is laid into lightmap texel space through its
// vertices' lightmap coordinates (u, v) scaled by the grid's width and height;
// every texel whose sample point (its corner (col, row) by default, or its
// centre) lies in a triangle (edges and corners included) receives the surface
// position and the unit surface normal that map to it. Columns follow u and
// rows follow v, with no flip: v = 0 is row 0. Where several triangles cover a
// texel, the last one (in mesh order, then triangle order) wins. A texel that
// no triangle covers holds six +0.0.
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
inline constexpr int kVersionMinor = 2;
inline constexpr int kVersionPatch = 0;
// "1.2.0": the version of the library the program runs with.
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

// A grid's width (columns, along u) and height (rows, along v), each 1 to 16384.
struct GridSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The value of a texel's triangleIds and meshIds where no triangle covers it.
inline constexpr std::uint32_t kNoTriangle = 0xFFFFFFFFu;

// What a sampled grid holds, counted over its texels.
struct SampleStats {
  std::uint64_t coveredTexels = 0;
  // Covered texels whose normal is zero: the triangle's vertex normals were
  // zero there, or cancel out.
  std::uint64_t zeroNormals = 0;
  // Covered texels with a NaN or infinite normal component.
  std::uint64_t nonFiniteNormals = 0;
  // Texels filled by SampleOptions::coverSmallTriangles.
  std::uint64_t smallTrianglesPlaced = 0;
};

// width x height samples in one block, row-major: texel (col, row) is
// data()[row * width + col]. Beside the samples, which texels a triangle
// covered, and the extra channels asked for when sampling. Move-only; an
// empty grid has width and height 0.
class LUMIVEX_API SampleGrid {
 public:
  SampleGrid() noexcept = default;
  ~SampleGrid();
  SampleGrid(SampleGrid&& other) noexcept;
  SampleGrid& operator=(SampleGrid&& other) noexcept;
  SampleGrid(const SampleGrid&) = delete;
  SampleGrid& operator=(const SampleGrid&) = delete;

  std::int32_t width() const noexcept { return width_; }
  std::int32_t height() const noexcept { return height_; }
  // The edge of a square grid; 0 for a grid that is not square.
  std::int32_t size() const noexcept { return width_ == height_ ? width_ : 0; }
  std::size_t cellCount() const noexcept { return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_); }
  Sample* data() noexcept { return samples_; }
  const Sample* data() const noexcept { return samples_; }
  std::span<Sample> samples() noexcept { return {samples_, cellCount()}; }
  std::span<const Sample> samples() const noexcept { return {samples_, cellCount()}; }
  // No bounds check: 0 <= col < width, 0 <= row < height.
  Sample& at(std::int32_t col, std::int32_t row) noexcept { return samples_[index(col, row)]; }
  const Sample& at(std::int32_t col, std::int32_t row) const noexcept { return samples_[index(col, row)]; }

  // Whether a triangle wrote the texel when the grid was sampled, whatever
  // it wrote (a triangle at the origin with zero normals writes six zeros).
  // For a grid read from a samples file, which keeps no such record: whether
  // the texel's six values are not all +0.0 (bit for bit). No bounds check.
  bool covered(std::int32_t col, std::int32_t row) const noexcept {
    return (coverage_[wordIndex(col, row)] >> (static_cast<std::uint32_t>(col) & 63u) & 1u) != 0;
  }
  // Marks a texel covered or not (for grids filled by hand). No bounds check.
  void setCovered(std::int32_t col, std::int32_t row, bool covered) noexcept;
  // One byte per texel, row-major, 1 where covered and 0 elsewhere, into
  // `mask`; writes min(mask.size(), cellCount()) bytes.
  void copyCoverage(std::span<std::uint8_t> mask) const noexcept;

  // The extra channels, row-major like the samples; empty unless asked for
  // in SampleOptions. triangleIds: the covering triangle's index within its
  // mesh; meshIds: its mesh's position in the list (or in the file's first
  // group); both kNoTriangle where nothing covers the texel.
  std::span<const std::uint32_t> triangleIds() const noexcept { return {triangleIds_, triangleIds_ ? cellCount() : 0}; }
  std::span<const std::uint32_t> meshIds() const noexcept { return {meshIds_, meshIds_ ? cellCount() : 0}; }
  // Two floats per texel, w1 and w2: the weights of the triangle's second and
  // third corners at the sample point, as the sampler computed them, so that
  // the sample is (1 - w1 - w2) a0 + w1 a1 + w2 a2 of any vertex attribute a
  // (to within rounding). Zero where nothing covers the texel.
  std::span<const float> barycentrics() const noexcept { return {barycentrics_, barycentrics_ ? 2 * cellCount() : 0}; }

  // Counts over the grid (one pass over it).
  SampleStats stats() const noexcept;

  // An all-zero grid of the given size (1 to 16384 on a side), with nothing
  // covered, replacing what `grid` held: InvalidArgument for other sizes,
  // OutOfMemory when it cannot be had.
  static Result make(std::int32_t size, SampleGrid& grid) noexcept;
  static Result make(GridSize size, SampleGrid& grid) noexcept;

 private:
  friend struct SampleGridAccess;
  std::size_t index(std::int32_t col, std::int32_t row) const noexcept {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(col);
  }
  std::size_t wordIndex(std::int32_t col, std::int32_t row) const noexcept {
    return static_cast<std::size_t>(row) * coverageWordsPerRow_ + static_cast<std::size_t>(col) / 64;
  }
  void release() noexcept;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  Sample* samples_ = nullptr;
  std::size_t mappedBytes_ = 0;  // the block, when it came straight from the system
  void* extras_ = nullptr;       // one block for the coverage and the channels, which point into it
  std::size_t extrasMappedBytes_ = 0;
  std::uint64_t* coverage_ = nullptr;  // one bit per texel, rows of coverageWordsPerRow_ words
  std::size_t coverageWordsPerRow_ = 0;
  std::uint32_t* triangleIds_ = nullptr;
  std::uint32_t* meshIds_ = nullptr;
  float* barycentrics_ = nullptr;
  std::uint64_t smallTrianglesPlaced_ = 0;
};

// Samples files: the width and the height (little-endian int32; the size
// twice for a square grid), then 24 bytes per texel, six little-endian floats,
// row by row. Only the samples are kept: not the coverage, nor the channels.
//
// Writes the file so that it is either complete or not touched at all: a
// temporary file beside it is written, flushed to the disk and renamed over
// it. An existing file keeps its permissions. CannotWrite on any failure;
// Cancelled, with the file untouched, when `cancel` is set (from any thread)
// while it is written.
LUMIVEX_API Result writeSamplesFile(const char* path, const SampleGrid& grid,
                                    const std::atomic<bool>* cancel = nullptr) noexcept;
// Writes any file the same way: complete, or not touched at all. For what a
// pipeline writes beside a samples file (reports, images). CannotWrite on any
// failure.
LUMIVEX_API Result writeWholeFile(const char* path, std::span<const std::uint8_t> bytes) noexcept;
// Reads a samples file of any width and height from 1 to 16384: CannotOpen,
// Damaged (a width or height outside 1 to 16384, or a length that is not
// 8 + 24 x width x height; the offset says where), ReadError, OutOfMemory.
// A texel counts as covered unless its six values are all +0.0. Cancelled,
// with `grid` untouched, when `cancel` is set (from any thread) while it is read.
LUMIVEX_API Result readSamplesFile(const char* path, SampleGrid& grid,
                                   const std::atomic<bool>* cancel = nullptr) noexcept;

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
  // Set to true (from any thread) to stop reading: the call returns Cancelled.
  const std::atomic<bool>* cancel = nullptr;
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

// Where in its texel each sample is taken.
enum class SamplePoint : int {
  Corner = 0,  // (col, row): the samples file's rule, what the lumivex command writes
  Centre = 1,  // (col + 1/2, row + 1/2): where texture filtering puts a texel's value
};

struct SampleOptions {
  // Threads at most; 0: as many as the process may run on. Small inputs use fewer.
  std::size_t threads = 0;
  // Called now and then with the share of the triangles done (0 to 1), and
  // with 1 at the end.
  std::function<void(double fraction)> progress;
  // Set to true (from any thread) to stop: the call returns Cancelled and the
  // grid's contents are unspecified.
  const std::atomic<bool>* cancel = nullptr;
  // Where each texel is sampled; the same inside test, tie rule and
  // arithmetic at either point.
  SamplePoint samplePoint = SamplePoint::Corner;
  // Record each texel's triangle and mesh (SampleGrid::triangleIds, meshIds):
  // 8 more bytes per texel.
  bool ids = false;
  // Record each texel's barycentric weights (SampleGrid::barycentrics): 8
  // more bytes per texel.
  bool barycentrics = false;
  // A triangle (of non-zero area) that holds no sample point still gets one:
  // at its centroid, stored in the texel whose sample point lies nearest the
  // centroid when no triangle covers that texel, the last such triangle
  // winning (SampleStats::smallTrianglesPlaced counts them). Keeps tiny
  // props from baking black.
  bool coverSmallTriangles = false;
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
// (1 to 16384), or of size.width x size.height, which replaces what `grid`
// held. The arrays are checked first: a length that does not fit the others,
// or an index naming no vertex, is InvalidArgument naming the argument (mesh:
// the mesh's position in `meshes`; offset: that position again for a length,
// the entry for an index), and no sampling is done.
// Triangles of zero area in the lightmap, or with a non-finite lightmap
// coordinate, are skipped; texels outside the grid are dropped.
LUMIVEX_API Result sampleMeshes(std::span<const MeshArrays> meshes, std::int32_t size, SampleGrid& grid,
                                const SampleOptions& options = {}) noexcept;
LUMIVEX_API Result sampleMeshes(std::span<const MeshArrays> meshes, GridSize size, SampleGrid& grid,
                                const SampleOptions& options = {}) noexcept;
LUMIVEX_API Result sampleMesh(const MeshArrays& mesh, std::int32_t size, SampleGrid& grid,
                              const SampleOptions& options = {}) noexcept;
LUMIVEX_API Result sampleMesh(const MeshArrays& mesh, GridSize size, SampleGrid& grid,
                              const SampleOptions& options = {}) noexcept;

// Samples the first group of a loaded file into a new grid, exactly as the
// `lumivex` command does (with the default options, at its sizes): meshes
// whose slots are not 40 bytes and triangles naming a vertex past the end of
// their mesh are skipped.
LUMIVEX_API Result sampleFirstGroup(const MeshFile& file, std::int32_t size, SampleGrid& grid,
                                    const SampleOptions& options = {}) noexcept;
LUMIVEX_API Result sampleFirstGroup(const MeshFile& file, GridSize size, SampleGrid& grid,
                                    const SampleOptions& options = {}) noexcept;

// Samples the first group of a mesh file exactly as sampleFirstGroup does,
// without holding the file in memory: every header and length is checked
// first (a damaged file is refused before `loaded` is called and before any
// sampling), then the first group is read from its last mesh back, a few
// megabytes at a time, while it is sampled, and reading stops once every
// texel holds its final sample. A file that cannot be read by position (a
// pipe), or sampled with coverSmallTriangles, is loaded whole first. A read
// that fails part-way is ReadError.
LUMIVEX_API Result sampleMeshFile(const char* path, std::int32_t size, SampleGrid& grid,
                                  const LoadOptions& load = {}, const SampleOptions& options = {}) noexcept;
LUMIVEX_API Result sampleMeshFile(const char* path, GridSize size, SampleGrid& grid, const LoadOptions& load = {},
                                  const SampleOptions& options = {}) noexcept;

}  // namespace lumivex
