#include "output/sample_grid.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

std::uint64_t fileLengthFor(std::int32_t size) {
  return kHeaderBytes + sizeof(Sample) * static_cast<std::uint64_t>(size) * static_cast<std::uint64_t>(size);
}

bool writeAll(std::FILE* file, const SampleGrid& grid) {
  std::vector<std::uint8_t> header;
  little_endian::appendI32(header, grid.size());
  little_endian::appendI32(header, grid.size());
  if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) return false;
  if constexpr (std::endian::native == std::endian::little) {
    // The samples in memory already have the file's layout.
    return std::fwrite(grid.data(), sizeof(Sample), grid.cellCount(), file) == grid.cellCount();
  } else {
    const std::vector<std::uint8_t> bytes = encodeSamplesFile(grid);
    return std::fwrite(bytes.data() + kHeaderBytes, 1, bytes.size() - kHeaderBytes, file) ==
           bytes.size() - kHeaderBytes;
  }
}

// Checks a header and the length it implies; Ok or Damaged.
Result checkHeader(const std::uint8_t* header, std::uint64_t length, std::int32_t& size) {
  if (length < kHeaderBytes) return {Status::Damaged, "header cut short", length};
  size = little_endian::loadI32(header);
  if (size != little_endian::loadI32(header + 4) || !isValidSize(size)) {
    return {Status::Damaged, "header is not one size from 1 to 16384 twice", 0};
  }
  const std::uint64_t expected = fileLengthFor(size);
  if (length < expected) return {Status::Damaged, "samples cut short", length};
  if (length > expected) return {Status::Damaged, "bytes after the last sample", expected};
  return {};
}

}  // namespace

struct SampleGridAccess {
  static void adopt(SampleGrid& grid, std::int32_t size, void* block, std::size_t mappedBytes) {
    grid.size_ = size;
    grid.samples_ = static_cast<Sample*>(block);
    grid.mappedBytes_ = mappedBytes;
  }
};

SampleGrid::~SampleGrid() {
#if defined(__linux__)
  if (mappedBytes_ > 0) {
    munmap(samples_, mappedBytes_);
    return;
  }
#endif
  std::free(samples_);
}

SampleGrid::SampleGrid(SampleGrid&& other) noexcept
    : size_(std::exchange(other.size_, 0)),
      samples_(std::exchange(other.samples_, nullptr)),
      mappedBytes_(std::exchange(other.mappedBytes_, 0)) {}

SampleGrid& SampleGrid::operator=(SampleGrid&& other) noexcept {
  std::swap(size_, other.size_);
  std::swap(samples_, other.samples_);
  std::swap(mappedBytes_, other.mappedBytes_);
  return *this;
}

// Bitwise on purpose: only six +0.0 values mark an empty texel; -0.0 is data.
bool SampleGrid::covered(std::int32_t col, std::int32_t row) const noexcept {
  static const Sample empty{};
  return std::memcmp(&at(col, row), &empty, sizeof empty) != 0;
}

Result SampleGrid::make(std::int32_t size, SampleGrid& grid) noexcept {
  if (!isValidSize(size)) return {Status::InvalidArgument, "size: outside 1 to 16384"};
  return guarded([&]() -> Result {
    grid = makeSampleGrid(size);
    return {};
  });
}

SampleGrid makeSampleGrid(LightmapSize size) {
  const std::size_t bytes = sizeof(Sample) * static_cast<std::size_t>(size) * static_cast<std::size_t>(size);
  void* block = nullptr;
  std::size_t mappedBytes = 0;
#if defined(__linux__)
  if (bytes >= kHugePage) {
    // Fresh pages from the system are zero already: nothing is written until
    // a sample is. Whole huge pages, so that the grid needs no small ones.
    const std::size_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    madvise(block, length, MADV_HUGEPAGE);
    mappedBytes = length;
  }
#endif
  if (block == nullptr) {
    block = std::calloc(1, bytes);
    if (block == nullptr) throw std::bad_alloc();
  }
  SampleGrid grid;
  SampleGridAccess::adopt(grid, size, block, mappedBytes);
  return grid;
}

std::vector<std::uint8_t> encodeSamplesFile(const SampleGrid& grid) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(kHeaderBytes + grid.cellCount() * sizeof(Sample));
  little_endian::appendI32(bytes, grid.size());
  little_endian::appendI32(bytes, grid.size());
  for (const Sample& sample : grid.samples()) {
    for (float value : {sample.position.x, sample.position.y, sample.position.z, sample.normal.x, sample.normal.y,
                        sample.normal.z}) {
      little_endian::appendFloat(bytes, value);
    }
  }
  return bytes;
}

Result decodeSamplesFile(const std::uint8_t* bytes, std::size_t length, SampleGrid& grid) {
  std::int32_t size = 0;
  if (const Result header = checkHeader(bytes, length, size); !header) return header;
  grid = makeSampleGrid(size);
  std::memcpy(grid.data(), bytes + kHeaderBytes, grid.cellCount() * sizeof(Sample));
  little_endian::floatsToOrFromFile(&grid.data()->position.x, grid.cellCount() * 6);
  return {};
}

Result writeSamplesFile(const char* path, const SampleGrid& grid) noexcept {
  if (isNullPath(path)) return nullPath();
  if (grid.size() <= 0) return {Status::InvalidArgument, "grid: empty"};
  return guarded([&]() -> Result {
    if (writeFileAtomically(path, [&grid](std::FILE* file) { return writeAll(file, grid); })) return {};
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

Result readSamplesFile(const char* path, SampleGrid& grid) noexcept {
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
    std::int32_t size = 0;
    const auto length = static_cast<std::uint64_t>(status.st_size);
    if (const Result checked = checkHeader(header, static_cast<std::size_t>(got) < sizeof header ? static_cast<std::uint64_t>(got) : length, size); !checked) {
      return checked;
    }
    SampleGrid read = makeSampleGrid(size);
    auto* out = reinterpret_cast<std::uint8_t*>(read.data());
    std::uint64_t done = 0;
    const std::uint64_t total = read.cellCount() * sizeof(Sample);
    while (done < total) {
      const ssize_t part = pread(descriptor, out + done, static_cast<std::size_t>(total - done),
                                 static_cast<off_t>(kHeaderBytes + done));
      if (part < 0 && errno == EINTR) continue;
      if (part < 0) return {Status::ReadError, "read error", kHeaderBytes + done};
      if (part == 0) return {Status::Damaged, "samples cut short", kHeaderBytes + done};
      done += static_cast<std::uint64_t>(part);
    }
    little_endian::floatsToOrFromFile(&read.data()->position.x, read.cellCount() * 6);
    grid = std::move(read);
    return {};
  });
}

}  // namespace lumivex
