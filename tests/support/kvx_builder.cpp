#include "support/kvx_builder.h"

#include <bit>

namespace lumivex::testing {

std::string vertexRecordBytes(const TestVertex& vertex) {
  KvxBuilder record;
  for (float value : {vertex.px, vertex.py, vertex.pz, vertex.nx, vertex.ny, vertex.nz, vertex.u0, vertex.v0,
                      vertex.u, vertex.v}) {
    record.float32(value);
  }
  return record.data();
}

TestMesh meshOf(const std::vector<TestVertex>& vertices, const std::vector<std::uint16_t>& indices) {
  TestMesh mesh;
  mesh.vertexCount = static_cast<std::int32_t>(vertices.size());
  mesh.indexCount = static_cast<std::int32_t>(indices.size());
  for (const TestVertex& vertex : vertices) mesh.vertexBytes += vertexRecordBytes(vertex);
  mesh.indices = indices;
  return mesh;
}

KvxBuilder& KvxBuilder::int32(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) data_.push_back(static_cast<char>(bits >> shift));
  return *this;
}

KvxBuilder& KvxBuilder::uint16(std::uint16_t value) {
  data_.push_back(static_cast<char>(value & 0xFF));
  data_.push_back(static_cast<char>(value >> 8));
  return *this;
}

KvxBuilder& KvxBuilder::float32(float value) { return int32(std::bit_cast<std::int32_t>(value)); }

KvxBuilder& KvxBuilder::bytes(const std::string& raw) {
  data_ += raw;
  return *this;
}

KvxBuilder& KvxBuilder::filler(std::size_t count, char value) {
  data_.append(count, value);
  return *this;
}

KvxBuilder& KvxBuilder::preamble(std::int32_t version, const std::vector<std::int32_t>& blockLengths) {
  int32(version);
  if (version == 10) filler(29);
  if (version == 9) filler(28);
  int32(static_cast<std::int32_t>(blockLengths.size()));
  for (std::int32_t length : blockLengths) {
    int32(length);
    if (length > 0) filler(static_cast<std::size_t>(length), '\x7E');
  }
  return *this;
}

KvxBuilder& KvxBuilder::meshHeader(const TestMesh& mesh) {
  int32(static_cast<std::int32_t>(mesh.name.size())).bytes(mesh.name).filler(16);
  int32(mesh.formatCode).int32(mesh.vertexSize).int32(mesh.vertexCount).int32(mesh.indexCount);
  return filler(4);
}

KvxBuilder& KvxBuilder::meshData(const TestMesh& mesh) {
  bytes(mesh.vertexBytes);
  for (std::uint16_t index : mesh.indices) uint16(index);
  return *this;
}

KvxBuilder& KvxBuilder::group(const std::vector<TestMesh>& meshes) {
  int32(static_cast<std::int32_t>(meshes.size()));
  for (const TestMesh& mesh : meshes) meshHeader(mesh);
  for (const TestMesh& mesh : meshes) meshData(mesh);
  return *this;
}

std::string kvxFile(const std::vector<std::vector<TestMesh>>& groups, std::int32_t version) {
  KvxBuilder file;
  file.preamble(version).int32(static_cast<std::int32_t>(groups.size()));
  for (const auto& meshes : groups) file.group(meshes);
  return file.data();
}

}  // namespace lumivex::testing
