#include "mesh/mesh_writer.h"

#include <algorithm>
#include <bit>

#include "output/atomic_file.h"

namespace lumivex {

namespace {

void appendInt32(std::vector<std::uint8_t>& bytes, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
}

void appendFloat(std::vector<std::uint8_t>& bytes, float value) {
  appendInt32(bytes, std::bit_cast<std::int32_t>(value));
}

}  // namespace

std::vector<std::uint8_t> encodeMeshFile(const std::vector<MeshToWrite>& meshes) {
  constexpr std::int32_t kVersion = 10;
  constexpr std::size_t kHeaderBlockLength = 29;
  std::vector<std::uint8_t> bytes;
  appendInt32(bytes, kVersion);
  bytes.insert(bytes.end(), kHeaderBlockLength, 0);
  appendInt32(bytes, 0);  // no opaque blocks
  appendInt32(bytes, 1);  // one group
  appendInt32(bytes, static_cast<std::int32_t>(meshes.size()));
  for (const MeshToWrite& mesh : meshes) {
    const std::size_t nameLength = std::min<std::size_t>(mesh.name.size(), 1023);
    appendInt32(bytes, static_cast<std::int32_t>(nameLength));
    bytes.insert(bytes.end(), mesh.name.begin(), mesh.name.begin() + static_cast<std::ptrdiff_t>(nameLength));
    bytes.insert(bytes.end(), 16, 0);
    appendInt32(bytes, 9233);
    appendInt32(bytes, 40);
    appendInt32(bytes, static_cast<std::int32_t>(mesh.vertices.size()));
    appendInt32(bytes, static_cast<std::int32_t>(mesh.indices.size()));
    appendInt32(bytes, 0);
  }
  for (const MeshToWrite& mesh : meshes) {
    for (const VertexRecord& v : mesh.vertices) {
      for (float value : {v.position.x, v.position.y, v.position.z, v.normal.x, v.normal.y, v.normal.z,
                          v.texCoord0[0], v.texCoord0[1], v.lightmapU, v.lightmapV}) {
        appendFloat(bytes, value);
      }
    }
    for (std::uint16_t index : mesh.indices) {
      bytes.push_back(static_cast<std::uint8_t>(index & 0xFF));
      bytes.push_back(static_cast<std::uint8_t>(index >> 8));
    }
  }
  return bytes;
}

bool writeMeshFile(const std::string& fileName, const std::vector<MeshToWrite>& meshes) {
  const std::vector<std::uint8_t> bytes = encodeMeshFile(meshes);
  return writeFileAtomically(fileName, [&bytes](std::FILE* file) {
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  });
}

}  // namespace lumivex
