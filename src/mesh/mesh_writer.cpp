#include "mesh/mesh_writer.h"

#include <algorithm>
#include <cstring>

#include "math/little_endian.h"
#include "mesh/mesh_set.h"
#include "output/atomic_file.h"

namespace lumivex {

namespace {

// Fills a block sized in advance, front to back.
class BlockWriter {
 public:
  explicit BlockWriter(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  void int32(std::int32_t value) {
    little_endian::storeU32(next(4), static_cast<std::uint32_t>(value));
  }
  void float32(float value) { little_endian::storeFloat(next(4), value); }
  void uint16(std::uint16_t value) { little_endian::storeU16(next(2), value); }
  void raw(const void* data, std::size_t count) {
    if (count > 0) std::memcpy(next(count), data, count);
  }
  void zeros(std::size_t count) { std::memset(next(count), 0, count); }
  std::size_t written() const { return at_; }

 private:
  std::uint8_t* next(std::size_t count) {
    std::uint8_t* place = bytes_.data() + at_;
    at_ += count;
    return place;
  }
  std::vector<std::uint8_t>& bytes_;
  std::size_t at_ = 0;
};

constexpr std::size_t kMaxNameLength = 1023;

}  // namespace

std::vector<std::uint8_t> encodeMeshFile(const std::vector<MeshToWrite>& meshes) {
  constexpr std::int32_t kVersion = 10;
  constexpr std::size_t kHeaderBlockLength = 29;
  std::size_t total = 4 + kHeaderBlockLength + 4 + 4 + 4;
  for (const MeshToWrite& mesh : meshes) {
    total += 40 + std::min(mesh.name.size(), kMaxNameLength) + sizeof(Vertex) * mesh.vertices.size() +
             2 * mesh.indices.size();
  }
  std::vector<std::uint8_t> bytes(total);
  BlockWriter out(bytes);
  out.int32(kVersion);
  out.zeros(kHeaderBlockLength);
  out.int32(0);  // no opaque blocks
  out.int32(1);  // one group
  out.int32(static_cast<std::int32_t>(meshes.size()));
  for (const MeshToWrite& mesh : meshes) {
    const std::size_t nameLength = std::min(mesh.name.size(), kMaxNameLength);
    out.int32(static_cast<std::int32_t>(nameLength));
    out.raw(mesh.name.data(), nameLength);
    out.zeros(16);
    out.int32(kFormatCodeVertexSized);
    out.int32(sizeof(Vertex));
    out.int32(static_cast<std::int32_t>(mesh.vertices.size()));
    out.int32(static_cast<std::int32_t>(mesh.indices.size()));
    out.zeros(4);
  }
  for (const MeshToWrite& mesh : meshes) {
    for (const Vertex& v : mesh.vertices) {
      for (float value : {v.position.x, v.position.y, v.position.z, v.normal.x, v.normal.y, v.normal.z, v.uv[0],
                          v.uv[1], v.lightmapU, v.lightmapV}) {
        out.float32(value);
      }
    }
    for (std::uint16_t index : mesh.indices) out.uint16(index);
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
