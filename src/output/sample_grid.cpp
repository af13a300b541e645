#include "output/sample_grid.h"

#include "math/little_endian.h"
#include "output/atomic_file.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace lumivex {

namespace {

bool writeAll(std::FILE* file, const SampleGrid& grid) {
  if constexpr (std::endian::native == std::endian::little) {
    // The in-memory samples already have the file's layout.
    std::vector<std::uint8_t> header;
    little_endian::appendI32(header, grid.size);
    little_endian::appendI32(header, grid.size);
    return std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
           std::fwrite(grid.samples.data(), sizeof(Sample), grid.samples.size(), file) == grid.samples.size();
  } else {
    const std::vector<std::uint8_t> bytes = encodeSamplesFile(grid);
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  }
}

}  // namespace

SampleGrid makeSampleGrid(LightmapSize size) {
  SampleGrid grid;
  grid.size = size;
  grid.samples.assign(static_cast<std::size_t>(size) * static_cast<std::size_t>(size), Sample{});
  return grid;
}

std::vector<std::uint8_t> encodeSamplesFile(const SampleGrid& grid) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(8 + grid.samples.size() * sizeof(Sample));
  little_endian::appendI32(bytes, grid.size);
  little_endian::appendI32(bytes, grid.size);
  if constexpr (std::endian::native == std::endian::little) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(grid.samples.data());
    bytes.insert(bytes.end(), first, first + grid.samples.size() * sizeof(Sample));
  } else {
    for (const Sample& sample : grid.samples) {
      for (float value : {sample.position.x, sample.position.y, sample.position.z, sample.normal.x,
                          sample.normal.y, sample.normal.z}) {
        little_endian::appendFloat(bytes, value);
      }
    }
  }
  return bytes;
}

bool decodeSamplesFile(const std::uint8_t* bytes, std::size_t length, SampleGrid& grid) {
  if (length < 8) return false;
  const std::int32_t size = little_endian::loadI32(bytes);
  if (size != little_endian::loadI32(bytes + 4) || size < 1 || size > 16384) return false;
  const std::size_t cells = static_cast<std::size_t>(size) * static_cast<std::size_t>(size);
  if (length - 8 != cells * sizeof(Sample)) return false;
  grid = makeSampleGrid(size);
  std::memcpy(grid.samples.data(), bytes + 8, cells * sizeof(Sample));
  little_endian::floatsToOrFromFile(reinterpret_cast<float*>(grid.samples.data()), cells * 6);
  return true;
}

bool writeSamplesFile(const std::string& fileName, const SampleGrid& grid) {
  return writeFileAtomically(fileName, [&grid](std::FILE* file) { return writeAll(file, grid); });
}

}  // namespace lumivex
