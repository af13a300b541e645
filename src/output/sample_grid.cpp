#include "output/sample_grid.h"

#include "output/atomic_file.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace lumivex {

namespace {

void appendLittleEndian32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

bool writeAll(std::FILE* file, const SampleGrid& grid) {
  if constexpr (std::endian::native == std::endian::little) {
    // The in-memory samples already have the file's layout.
    std::vector<std::uint8_t> header;
    appendLittleEndian32(header, static_cast<std::uint32_t>(grid.size));
    appendLittleEndian32(header, static_cast<std::uint32_t>(grid.size));
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
  appendLittleEndian32(bytes, static_cast<std::uint32_t>(grid.size));
  appendLittleEndian32(bytes, static_cast<std::uint32_t>(grid.size));
  if constexpr (std::endian::native == std::endian::little) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(grid.samples.data());
    bytes.insert(bytes.end(), first, first + grid.samples.size() * sizeof(Sample));
  } else {
    for (const Sample& sample : grid.samples) {
      for (float value : {sample.position.x, sample.position.y, sample.position.z, sample.normal.x,
                          sample.normal.y, sample.normal.z}) {
        appendLittleEndian32(bytes, std::bit_cast<std::uint32_t>(value));
      }
    }
  }
  return bytes;
}

bool writeSamplesFile(const std::string& fileName, const SampleGrid& grid) {
  return writeFileAtomically(fileName, [&grid](std::FILE* file) { return writeAll(file, grid); });
}

}  // namespace lumivex
