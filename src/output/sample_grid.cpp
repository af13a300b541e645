#include "output/sample_grid.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "api/guarded.h"
#include "math/little_endian.h"
#include "output/atomic_file.h"

namespace lumivex {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHeaderBytes = 8;

bool isValidSize(std::int32_t size) { return size >= kSmallestSize && size <= kLargestSize; }

std::uint64_t fileLengthFor(GridSize size) {
  return kHeaderBytes + sizeof(Sample) * static_cast<std::uint64_t>(size.width) * static_cast<std::uint64_t>(size.height);
}

// Large reads and writes go in pieces of this many bytes, the cancel flag
// looked at between them: a few milliseconds each.
constexpr std::size_t kPieceBytes = std::size_t{16} << 20;

bool isSet(const std::atomic<bool>* flag) { return flag != nullptr && flag->load(std::memory_order_relaxed); }

// Writes `count` bytes in pieces; false on a failed write or once `cancel` is set.
bool writeInPieces(std::FILE* file, const std::uint8_t* bytes, std::size_t count, const std::atomic<bool>* cancel) {
  for (std::size_t done = 0; done < count;) {
    if (isSet(cancel)) return false;
    const std::size_t piece = std::min(kPieceBytes, count - done);
    if (std::fwrite(bytes + done, 1, piece, file) != piece) return false;
    done += piece;
  }
  return true;
}

bool writeAll(std::FILE* file, const SampleGrid& grid, const std::atomic<bool>* cancel) {
  std::vector<std::uint8_t> header;
  little_endian::appendI32(header, grid.width());
  little_endian::appendI32(header, grid.height());
  if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) return false;
  if constexpr (std::endian::native == std::endian::little) {
    // The samples in memory already have the file's layout.
    return writeInPieces(file, reinterpret_cast<const std::uint8_t*>(grid.data()), grid.cellCount() * sizeof(Sample),
                         cancel);
  } else {
    const std::vector<std::uint8_t> bytes = encodeSamplesFile(grid);
    return writeInPieces(file, bytes.data() + kHeaderBytes, bytes.size() - kHeaderBytes, cancel);
  }
}

// Checks a header and the length it implies; Ok or Damaged.
Result checkHeader(const std::uint8_t* header, std::uint64_t length, GridSize& size) {
  if (length < kHeaderBytes) return {Status::Damaged, "header cut short", length};
  size = {little_endian::loadI32(header), little_endian::loadI32(header + 4)};
  if (!isValidSize(size.width)) return {Status::Damaged, "width is not from 1 to 16384", 0};
  if (!isValidSize(size.height)) return {Status::Damaged, "height is not from 1 to 16384", 4};
  const std::uint64_t expected = fileLengthFor(size);
  if (length < expected) return {Status::Damaged, "samples cut short", length};
  if (length > expected) return {Status::Damaged, "bytes after the last sample", expected};
  return {};
}

// A zeroed block of `bytes` (at least one), or bad_alloc. Large blocks come
// straight from the system, zero already and on huge pages where it can:
// nothing is written until a value is. `mapped` is then their length, 0 otherwise.
void* zeroedBlock(std::size_t bytes, std::size_t& mapped) {
  mapped = 0;
#if defined(__linux__)
  if (bytes >= kHugePage) {
    const std::size_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    madvise(block, length, MADV_HUGEPAGE);
    mapped = length;
    return block;
  }
#endif
  void* block = std::calloc(1, std::max<std::size_t>(bytes, 1));
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void releaseBlock(void* block, std::size_t mapped) {
#if defined(__linux__)
  if (mapped > 0) {
    munmap(block, mapped);
    return;
  }
#endif
  std::free(block);
}

}  // namespace

void SampleGridAccess::adopt(SampleGrid& grid, GridSize size, void* block, std::size_t mappedBytes) {
  grid.width_ = size.width;
  grid.height_ = size.height;
  grid.samples_ = static_cast<Sample*>(block);
  grid.mappedBytes_ = mappedBytes;
}

void SampleGridAccess::addCoverageAndChannels(SampleGrid& grid, const GridChannels& channels) {
  const std::size_t cells = grid.cellCount();
  grid.coverageWordsPerRow_ = (static_cast<std::size_t>(grid.width_) + 63) / 64;
  const std::size_t coverageBytes = 8 * grid.coverageWordsPerRow_ * static_cast<std::size_t>(grid.height_);
  const std::size_t idBytes = channels.ids ? 4 * cells : 0;
  const std::size_t weightBytes = channels.barycentrics ? 8 * cells : 0;
  auto* block = static_cast<std::uint8_t*>(zeroedBlock(coverageBytes + 2 * idBytes + weightBytes, grid.extrasMappedBytes_));
  grid.extras_ = block;
  grid.coverage_ = reinterpret_cast<std::uint64_t*>(block);
  if (channels.ids) {
    grid.triangleIds_ = reinterpret_cast<std::uint32_t*>(block + coverageBytes);
    grid.meshIds_ = reinterpret_cast<std::uint32_t*>(block + coverageBytes + idBytes);
  }
  if (channels.barycentrics) grid.barycentrics_ = reinterpret_cast<float*>(block + coverageBytes + 2 * idBytes);
}

void markUncoveredIds(SampleGrid& grid) {
  std::uint32_t* triangleIds = SampleGridAccess::triangleIds(grid);
  std::uint32_t* meshIds = SampleGridAccess::meshIds(grid);
  if (triangleIds == nullptr) return;
  for (std::int32_t row = 0; row < grid.height(); ++row) {
    const std::size_t first = static_cast<std::size_t>(row) * static_cast<std::size_t>(grid.width());
    for (std::int32_t col = 0; col < grid.width(); ++col) {
      if (grid.covered(col, row)) continue;
      triangleIds[first + static_cast<std::size_t>(col)] = kNoTriangle;
      meshIds[first + static_cast<std::size_t>(col)] = kNoTriangle;
    }
  }
}

void SampleGrid::release() noexcept {
  releaseBlock(samples_, mappedBytes_);
  releaseBlock(extras_, extrasMappedBytes_);
}

SampleGrid::~SampleGrid() { release(); }

// Moving swaps: the moved-from grid takes this one's empty state (or, for
// assignment, its old contents, which it frees).
SampleGrid::SampleGrid(SampleGrid&& other) noexcept { *this = std::move(other); }

SampleGrid& SampleGrid::operator=(SampleGrid&& other) noexcept {
  std::swap(width_, other.width_);
  std::swap(height_, other.height_);
  std::swap(samples_, other.samples_);
  std::swap(mappedBytes_, other.mappedBytes_);
  std::swap(extras_, other.extras_);
  std::swap(extrasMappedBytes_, other.extrasMappedBytes_);
  std::swap(coverage_, other.coverage_);
  std::swap(coverageWordsPerRow_, other.coverageWordsPerRow_);
  std::swap(triangleIds_, other.triangleIds_);
  std::swap(meshIds_, other.meshIds_);
  std::swap(barycentrics_, other.barycentrics_);
  std::swap(smallTrianglesPlaced_, other.smallTrianglesPlaced_);
  return *this;
}

void SampleGrid::setCovered(std::int32_t col, std::int32_t row, bool covered) noexcept {
  const std::uint64_t bit = std::uint64_t{1} << (static_cast<std::uint32_t>(col) & 63u);
  std::uint64_t& word = coverage_[wordIndex(col, row)];
  word = covered ? word | bit : word & ~bit;
}

void SampleGrid::copyCoverage(std::span<std::uint8_t> mask) const noexcept {
  const std::size_t count = std::min(mask.size(), cellCount());
  std::size_t i = 0;
  for (std::int32_t row = 0; row < height_ && i < count; ++row) {
    for (std::int32_t col = 0; col < width_ && i < count; ++col) mask[i++] = covered(col, row) ? 1 : 0;
  }
}

SampleStats SampleGrid::stats() const noexcept {
  SampleStats stats;
  stats.smallTrianglesPlaced = smallTrianglesPlaced_;
  for (std::int32_t row = 0; row < height_; ++row) {
    for (std::int32_t col = 0; col < width_; ++col) {
      if (!covered(col, row)) continue;
      ++stats.coveredTexels;
      const Vector3& normal = at(col, row).normal;
      if (!std::isfinite(normal.x) || !std::isfinite(normal.y) || !std::isfinite(normal.z)) {
        ++stats.nonFiniteNormals;
      } else if (normal.x == 0.0f && normal.y == 0.0f && normal.z == 0.0f) {
        ++stats.zeroNormals;
      }
    }
  }
  return stats;
}

Result SampleGrid::make(std::int32_t size, SampleGrid& grid) noexcept { return make(GridSize{size, size}, grid); }

Result SampleGrid::make(GridSize size, SampleGrid& grid) noexcept {
  if (!isValidGridSize(size)) return {Status::InvalidArgument, "size: outside 1 to 16384"};
  return guarded([&]() -> Result {
    grid = makeSampleGrid(size);
    return {};
  });
}

bool isValidGridSize(GridSize size) { return isValidSize(size.width) && isValidSize(size.height); }

SampleGrid makeSampleGrid(LightmapSize size) { return makeSampleGrid(GridSize{size, size}); }

SampleGrid makeSampleGrid(GridSize size, const GridChannels& channels) {
  const std::size_t cells = static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height);
  SampleGrid grid;
  std::size_t mappedBytes = 0;
  void* block = zeroedBlock(sizeof(Sample) * cells, mappedBytes);
  SampleGridAccess::adopt(grid, size, block, mappedBytes);  // owned by the grid from here on
  SampleGridAccess::addCoverageAndChannels(grid, channels);
  return grid;
}

void coverNonZeroTexels(SampleGrid& grid) {
  static const Sample empty{};
  for (std::int32_t row = 0; row < grid.height(); ++row) {
    for (std::int32_t col = 0; col < grid.width(); ++col) {
      // Bitwise on purpose: only six +0.0 values mark an empty texel; -0.0 is data.
      grid.setCovered(col, row, std::memcmp(&grid.at(col, row), &empty, sizeof empty) != 0);
    }
  }
}

std::vector<std::uint8_t> encodeSamplesFile(const SampleGrid& grid) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(kHeaderBytes + grid.cellCount() * sizeof(Sample));
  little_endian::appendI32(bytes, grid.width());
  little_endian::appendI32(bytes, grid.height());
  for (const Sample& sample : grid.samples()) {
    for (float value : {sample.position.x, sample.position.y, sample.position.z, sample.normal.x, sample.normal.y,
                        sample.normal.z}) {
      little_endian::appendFloat(bytes, value);
    }
  }
  return bytes;
}

Result decodeSamplesFile(const std::uint8_t* bytes, std::size_t length, SampleGrid& grid) {
  GridSize size;
  if (const Result header = checkHeader(bytes, length, size); !header) return header;
  SampleGrid decoded = makeSampleGrid(size);
  std::memcpy(decoded.data(), bytes + kHeaderBytes, decoded.cellCount() * sizeof(Sample));
  little_endian::floatsToOrFromFile(&decoded.data()->position.x, decoded.cellCount() * 6);
  coverNonZeroTexels(decoded);
  grid = std::move(decoded);
  return {};
}

Result writeSamplesFile(const char* path, const SampleGrid& grid, const std::atomic<bool>* cancel) noexcept {
  if (isNullPath(path)) return nullPath();
  if (grid.cellCount() == 0) return {Status::InvalidArgument, "grid: empty"};
  return guarded([&]() -> Result {
    if (writeFileAtomically(path, [&](std::FILE* file) { return writeAll(file, grid, cancel); })) return {};
    if (isSet(cancel)) return {Status::Cancelled, "cancelled"};
    return {Status::CannotWrite, "cannot write the file"};
  });
}

Result writeWholeFile(const char* path, std::span<const std::uint8_t> bytes) noexcept {
  if (isNullPath(path)) return nullPath();
  return guarded([&]() -> Result {
    const bool written = writeFileAtomically(path, [&bytes](std::FILE* file) {
      return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    });
    return written ? Result{} : Result{Status::CannotWrite, "cannot write the file"};
  });
}

Result readSamplesFile(const char* path, SampleGrid& grid, const std::atomic<bool>* cancel) noexcept {
  if (isNullPath(path)) return nullPath();
  return guarded([&]() -> Result {
    const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (descriptor < 0) return {Status::CannotOpen, "cannot open the file"};
    struct Closer {
      int descriptor;
      ~Closer() { close(descriptor); }
    } closer{descriptor};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return {Status::CannotOpen, "not a regular file"};

    std::uint8_t header[kHeaderBytes];
    const ssize_t got = pread(descriptor, header, sizeof header, 0);
    if (got < 0) return {Status::ReadError, "read error", 0};
    GridSize size;
    const auto length = static_cast<std::uint64_t>(status.st_size);
    if (const Result checked = checkHeader(header, static_cast<std::size_t>(got) < sizeof header ? static_cast<std::uint64_t>(got) : length, size); !checked) {
      return checked;
    }
    SampleGrid read = makeSampleGrid(size);
    auto* out = reinterpret_cast<std::uint8_t*>(read.data());
    std::uint64_t done = 0;
    const std::uint64_t total = read.cellCount() * sizeof(Sample);
    while (done < total) {
      if (isSet(cancel)) return {Status::Cancelled, "cancelled"};
      const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(kPieceBytes, total - done));
      const ssize_t part = pread(descriptor, out + done, piece, static_cast<off_t>(kHeaderBytes + done));
      if (part < 0 && errno == EINTR) continue;
      if (part < 0) return {Status::ReadError, "read error", kHeaderBytes + done};
      if (part == 0) return {Status::Damaged, "samples cut short", kHeaderBytes + done};
      done += static_cast<std::uint64_t>(part);
    }
    little_endian::floatsToOrFromFile(&read.data()->position.x, read.cellCount() * 6);
    coverNonZeroTexels(read);
    grid = std::move(read);
    return {};
  });
}

}  // namespace lumivex
