#pragma once
// Writes mesh files for tests, field by field.

#include <cstdint>
#include <string>
#include <vector>

namespace lumivex::testing {

struct TestVertex {
  float px = 0, py = 0, pz = 0;
  float nx = 0, ny = 0, nz = 1;
  float u0 = 0, v0 = 0;
  float u = 0, v = 0;  // lightmap coordinates
};

struct TestMesh {
  std::string name = "mesh";
  std::int32_t formatCode = 9233;
  std::int32_t vertexSize = 40;
  std::int32_t vertexCount = 0;
  std::int32_t indexCount = 0;
  std::string vertexBytes;  // as they stand in the file
  std::vector<std::uint16_t> indices;
};

// A 9233 mesh of 40-byte records.
TestMesh meshOf(const std::vector<TestVertex>& vertices, const std::vector<std::uint16_t>& indices);

class KvxBuilder {
 public:
  KvxBuilder& int32(std::int32_t value);
  KvxBuilder& uint16(std::uint16_t value);
  KvxBuilder& float32(float value);
  KvxBuilder& bytes(const std::string& raw);
  KvxBuilder& filler(std::size_t count, char value = '\x5A');

  // version, its header block and `blockCount` opaque blocks of the given lengths
  KvxBuilder& preamble(std::int32_t version = 10, const std::vector<std::int32_t>& blockLengths = {});
  KvxBuilder& meshHeader(const TestMesh& mesh);
  KvxBuilder& meshData(const TestMesh& mesh);
  KvxBuilder& group(const std::vector<TestMesh>& meshes);

  const std::string& data() const { return data_; }

 private:
  std::string data_;
};

// A whole file: preamble, group count, groups.
std::string kvxFile(const std::vector<std::vector<TestMesh>>& groups, std::int32_t version = 10);

std::string vertexRecordBytes(const TestVertex& vertex);

}  // namespace lumivex::testing
