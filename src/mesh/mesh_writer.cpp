#include "mesh/mesh_writer.h"

#include <algorithm>
#include <bit>

#include "math/little_endian.h"

#include "output/atomic_file.h"

namespace lumivex {

using little_endian::appendFloat;

std::vector<std::uint8_t> encodeMeshFile(const std::vector<MeshToWrite>& meshes) {
  constexpr std::int32_t kVersion = 10;
  constexpr std::size_t kHeaderBlockLength = 29;
  std::vector<std::uint8_t> bytes;
  little_endian::appendI32(bytes, kVersion);
  bytes.insert(bytes.end(), kHeaderBlockLength, 0);
  little_endian::appendI32(bytes, 0);  // no opaque blocks
  little_endian::appendI32(bytes, 1);  // one group
  little_endian::appendI32(bytes, static_cast<std::int32_t>(meshes.size()));
  for (const MeshToWrite& mesh : meshes) {
    const std::size_t nameLength = std::min<std::size_t>(mesh.name.size(), 1023);
    little_endian::appendI32(bytes, static_cast<std::int32_t>(nameLength));
    bytes.insert(bytes.end(), mesh.name.begin(), mesh.name.begin() + static_cast<std::ptrdiff_t>(nameLength));
    bytes.insert(bytes.end(), 16, 0);
    little_endian::appendI32(bytes, 9233);
    little_endian::appendI32(bytes, 40);
    little_endian::appendI32(bytes, static_cast<std::int32_t>(mesh.vertices.size()));
    little_endian::appendI32(bytes, static_cast<std::int32_t>(mesh.indices.size()));
    little_endian::appendI32(bytes, 0);
  }
  for (const MeshToWrite& mesh : meshes) {
    for (const VertexRecord& v : mesh.vertices) {
      for (float value : {v.position.x, v.position.y, v.position.z, v.normal.x, v.normal.y, v.normal.z,
                          v.texCoord0[0], v.texCoord0[1], v.lightmapU, v.lightmapV}) {
        appendFloat(bytes, value);
      }
    }
    for (std::uint16_t index : mesh.indices) little_endian::appendU16(bytes, index);
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
