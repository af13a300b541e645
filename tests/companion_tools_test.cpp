// The companion tools end to end: a model written here goes through
// lumivex-import, lumivex and lumivex-preview.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <array>
#include <set>
#include <sstream>

#include "mesh/byte_reader.h"
#include "mesh/mesh_set.h"
#include <lumivex/lumivex.h>
#include "preview/samples_preview.h"
#include "support/image_reader.h"
#include "support/tool_runner.h"

namespace lumivex {
namespace {

using testing::readFile;
using testing::runProgram;
using testing::TemporaryFolder;
using testing::writeFile;

std::string base64(const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t chunk = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) chunk |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) chunk |= static_cast<std::uint8_t>(bytes[i + 2]);
    out += alphabet[chunk >> 18 & 63];
    out += alphabet[chunk >> 12 & 63];
    out += i + 1 < bytes.size() ? alphabet[chunk >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[chunk & 63] : '=';
  }
  return out;
}

template <typename T>
void append(std::string& bytes, std::initializer_list<T> values) {
  for (T value : values) bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// A quad whose lightmap UVs (second set) cover u in [0.25, 0.5] and
// v in [0.5, 0.75], with v measured from the bottom as the importer delivers
// it (glTF stores 1 - v). Positions span x in [10, 20], y in [-5, 5], z = 3;
// every normal is (0, 0, 1).
std::string quadGltf() {
  std::string buffer;
  const float us[4] = {0.25f, 0.5f, 0.25f, 0.5f};
  const float vs[4] = {0.5f, 0.5f, 0.75f, 0.75f};
  for (int k = 0; k < 4; ++k) append<float>(buffer, {10.0f + 10.0f * (k & 1), -5.0f + 10.0f * (k >> 1), 3.0f});
  for (int k = 0; k < 4; ++k) append<float>(buffer, {0.0f, 0.0f, 1.0f});
  for (int k = 0; k < 4; ++k) append<float>(buffer, {0.9f, 0.1f});  // first set: not the lightmap
  for (int k = 0; k < 4; ++k) append<float>(buffer, {us[k], 1.0f - vs[k]});
  append<std::uint16_t>(buffer, {0, 1, 3, 0, 3, 2});
  std::ostringstream json;
  json << R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],)"
       << R"("meshes":[{"name":"quad","primitives":[{"attributes":{"POSITION":0,"NORMAL":1,"TEXCOORD_0":2,"TEXCOORD_1":3},"indices":4}]}],)"
       << R"("buffers":[{"byteLength":)" << buffer.size() << R"(,"uri":"data:application/octet-stream;base64,)"
       << base64(buffer) << R"("}],)"
       << R"("bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":48},{"buffer":0,"byteOffset":48,"byteLength":48},)"
       << R"({"buffer":0,"byteOffset":96,"byteLength":32},{"buffer":0,"byteOffset":128,"byteLength":32},)"
       << R"({"buffer":0,"byteOffset":160,"byteLength":12}],)"
       << R"("accessors":[{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3","min":[10,-5,3],"max":[20,5,3]},)"
       << R"({"bufferView":1,"componentType":5126,"count":4,"type":"VEC3"},)"
       << R"({"bufferView":2,"componentType":5126,"count":4,"type":"VEC2"},)"
       << R"({"bufferView":3,"componentType":5126,"count":4,"type":"VEC2"},)"
       << R"({"bufferView":4,"componentType":5123,"count":6,"type":"SCALAR"}]})";
  return json.str();
}

MeshSet loadKvx(const std::string& path) {
  MeshSet set;
  const std::string bytes = readFile(path);
  MemorySource source(bytes.data(), bytes.size());
  ByteReader reader(source);
  EXPECT_EQ(readMeshSet(reader, set).status, Status::Ok);
  return set;
}

TEST(CompanionTools, GltfGoesThroughImportConversionAndPreview) {
  TemporaryFolder folder;
  writeFile(folder / "quad.gltf", quadGltf());

  const auto imported = runProgram(LUMIVEX_IMPORT_BINARY, {"quad.gltf", "quad"}, folder.path());
  ASSERT_EQ(imported.exitCode, 0) << imported.standardError;
  EXPECT_EQ(imported.standardError, "") << "a clean layout gives no warning";

  // One group, one 9233 mesh of 40-byte records, the lightmap UVs from the second set.
  const MeshSet set = loadKvx((folder / "quad.kvx").string());
  ASSERT_EQ(set.groupCount, 1);
  ASSERT_EQ(set.groups[0].meshes.size(), 1u);
  const MeshRecord& mesh = set.groups[0].meshes[0];
  EXPECT_EQ(mesh.formatKind, 2);
  EXPECT_EQ(mesh.vertexSize, 40);
  EXPECT_EQ(mesh.vertexCount, 4);
  EXPECT_EQ(mesh.indexCount, 6);
  for (int k = 0; k < mesh.vertexCount; ++k) {
    Vertex vertex;
    std::memcpy(&vertex, mesh.vertices.data() + 40 * k, 40);
    EXPECT_TRUE(vertex.lightmapU == 0.25f || vertex.lightmapU == 0.5f) << vertex.lightmapU;
    EXPECT_TRUE(vertex.lightmapV == 0.5f || vertex.lightmapV == 0.75f) << vertex.lightmapV;
    EXPECT_EQ(vertex.uv[0], 0.9f);
    EXPECT_EQ(vertex.normal.z, 1.0f);
  }

  const auto converted = runProgram(LUMIVEX_BINARY, {"large", "quad"}, folder.path());
  ASSERT_EQ(converted.exitCode, 0);
  SampleGrid samples;
  ASSERT_TRUE(readSamplesFile((folder / "quad.samples").c_str(), samples));
  // Texels with corners inside u in [128, 256], v in [256, 384] are covered.
  EXPECT_TRUE(samples.covered(128, 256));
  EXPECT_TRUE(samples.covered(256, 384));
  EXPECT_FALSE(samples.covered(127, 300));
  EXPECT_FALSE(samples.covered(200, 385));
  EXPECT_FALSE(samples.covered(200, 100));
  const Sample middle = samples.at(192, 320);  // the quad's centre
  EXPECT_NEAR(middle.position.x, 15.0f, 1e-4);
  EXPECT_NEAR(middle.position.y, 0.0f, 1e-4);
  EXPECT_NEAR(middle.normal.z, 1.0f, 1e-6);
  const SamplesSummary summary = summarise(samples);
  EXPECT_EQ(summary.covered, 129u * 129u);

  const auto previewed = runProgram(LUMIVEX_PREVIEW_BINARY, {"quad.samples", "quad"}, folder.path());
  ASSERT_EQ(previewed.exitCode, 0) << previewed.standardError;
  EXPECT_NE(previewed.standardOutput.find("Covered       : 16641 of 262144 texels (6.3 %)"), std::string::npos)
      << previewed.standardOutput;
  const testing::Image normal = testing::readImage((folder / "quad-normal.png").string());
  const testing::Image position = testing::readImage((folder / "quad-position.png").string());
  const testing::Image coverage = testing::readImage((folder / "quad-coverage.png").string());
  for (const testing::Image* image : {&normal, &position, &coverage}) {
    EXPECT_EQ(image->width, 512);
    EXPECT_EQ(image->height, 512);
  }
  ASSERT_EQ(normal.channels, 3);
  ASSERT_EQ(coverage.channels, 1);
  // Lightmap v = 0 (row 0 of the grid) is the image's bottom row, as in a UV
  // editor: grid row r is image row 511 - r.
  EXPECT_EQ(std::vector<int>(normal.at(192, 191), normal.at(192, 191) + 3), (std::vector<int>{128, 128, 255}));
  EXPECT_EQ(std::vector<int>(normal.at(10, 10), normal.at(10, 10) + 3), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(*coverage.at(128, 511 - 256), 255);
  EXPECT_EQ(*coverage.at(128, 511 - 255), 0);
  EXPECT_EQ(*coverage.at(192, 100), 0);
  // Positions are scaled to their bounds: x runs 10..20 along the columns;
  // z is 3 everywhere, a flat axis, drawn at mid-grey.
  EXPECT_EQ(position.at(128, 211)[0], 0);
  EXPECT_EQ(position.at(256, 211)[0], 255);
  EXPECT_EQ(position.at(200, 211)[2], 128);

  // --rows-down keeps the file's order: row 0 on top.
  const auto down = runProgram(LUMIVEX_PREVIEW_BINARY, {"quad.samples", "down", "--rows-down"}, folder.path());
  ASSERT_EQ(down.exitCode, 0) << down.standardError;
  const testing::Image coverageDown = testing::readImage((folder / "down-coverage.png").string());
  EXPECT_EQ(*coverageDown.at(128, 256), 255);
  EXPECT_EQ(*coverageDown.at(128, 255), 0);
}

std::string objWith(const std::string& faces) {
  return "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nv 2 2 0\n"
         "vt 0.1 0.1\nvt 0.5 0.1\nvt 0.1 0.5\nvt 0.5 0.5\nvt 0.15 0.45\nvt 1.5 0.2\nvt 0.2 0.2\n"
         "vt 1 1\nvt 0.9 1\nvt 1 0.9\n" +
         faces;
}

struct ImportCase {
  const char* label;
  std::string fileName;
  std::string contents;
  std::vector<std::string> extraArguments;
  int exitCode;
  std::string errorContains;
};

void PrintTo(const ImportCase& c, std::ostream* os) { *os << c.label; }

class ImportErrors : public ::testing::TestWithParam<ImportCase> {};

TEST_P(ImportErrors, ReportClearlyAndWriteNothing) {
  const ImportCase& c = GetParam();
  TemporaryFolder folder;
  if (!c.contents.empty()) writeFile(folder / c.fileName, c.contents);
  std::vector<std::string> arguments = {c.fileName, "out"};
  arguments.insert(arguments.end(), c.extraArguments.begin(), c.extraArguments.end());
  const auto run = runProgram(LUMIVEX_IMPORT_BINARY, arguments, folder.path());
  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_NE(run.standardError.find(c.errorContains), std::string::npos) << run.standardError;
  EXPECT_FALSE(std::filesystem::exists(folder / "out.kvx"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImportErrors,
    ::testing::Values(
        ImportCase{"MissingModel", "missing.obj", "", {}, 2, "Error : Unable to read model missing.obj"},
        ImportCase{"NotAModel", "model.gltf", "this is not a model", {}, 2, "Error : Unable to read model model.gltf"},
        ImportCase{"NoTriangles", "lines.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nl 1 2\np 3\n", {}, 3,
                   "Error : No triangles in lines.obj"},
        // However the import library says it found none: a point cloud, a scene without meshes.
        ImportCase{"PointCloud", "points.ply",
                   "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
                   "end_header\n0 0 0\n1 0 0\n0 1 0\n",
                   {}, 3, "Error : No triangles in points.ply"},
        ImportCase{"NoMeshes", "empty.gltf",
                   "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{}]}", {}, 3,
                   "Error : No triangles in empty.gltf"},
        ImportCase{"NoSecondUvSet", "one.obj", objWith("f 1/1 2/2 3/3\n"), {}, 4,
                   "Error : Missing lightmap UV set"},
        ImportCase{"UvSetOutOfRange", "quad.gltf", quadGltf(), {"--lightmap-uv", "5"}, 4,
                   "Error : Missing lightmap UV set"},
        ImportCase{"BadOption", "quad.gltf", quadGltf(), {"--lightmap-uv", "x"}, 1, "Usage : lumivex-import"},
        ImportCase{"ThirdName", "quad.gltf", quadGltf(), {"extra"}, 1, "Usage : lumivex-import"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(CompanionTools, LayoutFaultsAreCountedAsWarnings) {
  TemporaryFolder folder;
  // Triangle 1 and 2 overlap without sharing a corner; 3 has no area; 4 reaches
  // u = 1.5; 5 touches u = v = 1, which is inside.
  writeFile(folder / "faults.obj",
            objWith("f 1/1 2/2 3/3\nf 2/7 4/4 3/5\nf 1/1 2/1 3/1\nf 1/6 2/2 3/3\nf 4/8 5/9 3/10\n"));
  const auto run = runProgram(LUMIVEX_IMPORT_BINARY, {"faults.obj", "out", "--lightmap-uv", "0"}, folder.path());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.standardError.find("Warning : 1 triangles have lightmap UVs outside [0, 1]"), std::string::npos)
      << run.standardError;
  EXPECT_NE(run.standardError.find("Warning : 1 triangles have no lightmap area"), std::string::npos)
      << run.standardError;
  EXPECT_NE(run.standardError.find("texels at size 512 lie inside two or more triangles"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(folder / "out.kvx"));
}

TEST(CompanionTools, ObjRoundTripSplitsLargeMeshesBelow65536Vertices) {
  TemporaryFolder folder;
  // 23,000 separate triangles: 69,000 vertices.
  std::string obj;
  for (int t = 0; t < 23000; ++t) {
    const float u = static_cast<float>(t % 150) / 150.0f, v = static_cast<float>(t / 150) / 160.0f;
    obj += "v " + std::to_string(t) + " 0 0\nv " + std::to_string(t) + " 1 0\nv " + std::to_string(t) + " 0 1\n";
    obj += "vt " + std::to_string(u) + " " + std::to_string(v) + "\nvt " + std::to_string(u + 0.005f) + " " +
           std::to_string(v) + "\nvt " + std::to_string(u) + " " + std::to_string(v + 0.005f) + "\n";
  }
  for (int t = 0; t < 23000; ++t) {
    const std::string a = std::to_string(3 * t + 1), b = std::to_string(3 * t + 2), c = std::to_string(3 * t + 3);
    obj += "f " + a + "/" + a + " " + b + "/" + b + " " + c + "/" + c + "\n";
  }
  writeFile(folder / "many.obj", obj);
  const auto run = runProgram(LUMIVEX_IMPORT_BINARY, {"many.obj", "many", "--lightmap-uv", "0"}, folder.path());
  ASSERT_EQ(run.exitCode, 0) << run.standardError;
  const MeshSet set = loadKvx((folder / "many.kvx").string());
  ASSERT_EQ(set.groups.size(), 1u);
  ASSERT_GE(set.groups[0].meshes.size(), 2u);
  std::size_t triangles = 0;
  for (const MeshRecord& mesh : set.groups[0].meshes) {
    EXPECT_LE(mesh.vertexCount, 65535);
    triangles += static_cast<std::size_t>(mesh.indexCount) / 3;
  }
  EXPECT_EQ(triangles, 23000u);

  // And on through the converter and the previewer: every triangle's corner
  // texel at size 128 is covered.
  ASSERT_EQ(runProgram(LUMIVEX_BINARY, {"small", "many"}, folder.path()).exitCode, 0);
  const auto previewed = runProgram(LUMIVEX_PREVIEW_BINARY, {"many.samples", "many"}, folder.path());
  ASSERT_EQ(previewed.exitCode, 0) << previewed.standardError;
  SampleGrid samples;
  ASSERT_TRUE(readSamplesFile((folder / "many.samples").c_str(), samples));
  EXPECT_TRUE(samples.covered(0, 0));
  EXPECT_TRUE(samples.covered(64, 64));
  EXPECT_EQ(testing::readImage((folder / "many-coverage.png").string()).width, 128);
}

// A mesh of shared vertices (a 300 x 300 vertex grid, every inner vertex in
// six triangles) is split below 65,536 vertices per written mesh without
// losing or changing a triangle.
TEST(CompanionTools, SplitMeshesKeepSharedVerticesRight) {
  constexpr int kSide = 300;
  std::string ply = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(kSide * kSide) +
                    "\nproperty float x\nproperty float y\nproperty float z\nproperty float s\nproperty float t\n"
                    "element face " + std::to_string(2 * (kSide - 1) * (kSide - 1)) +
                    "\nproperty list uchar int vertex_indices\nend_header\n";
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      append<float>(ply, {static_cast<float>(x), static_cast<float>(y), static_cast<float>((x * 7 + y * 3) % 5),
                          (x + 0.5f) / kSide, (y + 0.5f) / kSide});
    }
  }
  for (int y = 0; y + 1 < kSide; ++y) {
    for (int x = 0; x + 1 < kSide; ++x) {
      const int a = y * kSide + x, b = a + 1, c = a + kSide, d = c + 1;
      ply += '\x03';
      append<std::int32_t>(ply, {a, b, d});
      ply += '\x03';
      append<std::int32_t>(ply, {a, d, c});
    }
  }
  TemporaryFolder folder;
  writeFile(folder / "grid.ply", ply);
  const auto run = runProgram(LUMIVEX_IMPORT_BINARY, {"grid.ply", "grid", "--lightmap-uv", "0"}, folder.path());
  ASSERT_EQ(run.exitCode, 0) << run.standardError;
  const MeshSet set = loadKvx((folder / "grid.kvx").string());
  ASSERT_GE(set.groups.at(0).meshes.size(), 2u);
  // Each triangle as its three corner positions: the same set as the model's.
  std::multiset<std::array<float, 9>> triangles;
  for (const MeshRecord& mesh : set.groups[0].meshes) {
    EXPECT_LE(mesh.vertexCount, 65535);
    for (int t = 0; t + 2 < mesh.indexCount; t += 3) {
      std::array<float, 9> corners{};
      for (int k = 0; k < 3; ++k) {
        const std::uint16_t index = mesh.indices[t + k];
        ASSERT_LT(index, mesh.vertexCount);
        std::memcpy(&corners[3 * k], mesh.vertices.data() + 40 * index, 12);
      }
      triangles.insert(corners);
    }
  }
  std::multiset<std::array<float, 9>> expected;
  const auto corner = [](int v, float* out) {
    out[0] = static_cast<float>(v % kSide), out[1] = static_cast<float>(v / kSide);
    out[2] = static_cast<float>((v % kSide * 7 + v / kSide * 3) % 5);
  };
  for (int y = 0; y + 1 < kSide; ++y) {
    for (int x = 0; x + 1 < kSide; ++x) {
      const int a = y * kSide + x, b = a + 1, c = a + kSide, d = c + 1;
      for (const std::array<int, 3>& face : {std::array<int, 3>{a, b, d}, std::array<int, 3>{a, d, c}}) {
        std::array<float, 9> corners{};
        for (int k = 0; k < 3; ++k) corner(face[k], &corners[3 * k]);
        expected.insert(corners);
      }
    }
  }
  EXPECT_TRUE(triangles == expected);
}

TEST(CompanionTools, PreviewCountsNormalsThatAreNotOfUnitLength) {
  SampleGrid grid;  // any size from 1 to 16384 is a samples file
  ASSERT_TRUE(SampleGrid::make(100, grid));
  grid.data()[0] = {{1, 2, 3}, {0, 0, 1}};        // unit
  grid.data()[1] = {{1, 2, 3}, {0, 0, 1.01f}};    // not unit
  grid.data()[2] = {{1, 2, 3}, {0, 0, 0}};        // zero
  grid.data()[3] = {{0, 0, 0}, {0.6f, 0.8f, 0}};  // unit
  TemporaryFolder folder;
  ASSERT_TRUE(writeSamplesFile((folder / "n.samples").c_str(), grid));
  const auto run = runProgram(LUMIVEX_PREVIEW_BINARY, {"n.samples", "n"}, folder.path());
  ASSERT_EQ(run.exitCode, 0) << run.standardError;
  EXPECT_NE(run.standardOutput.find("Covered       : 4 of 10000 texels"), std::string::npos) << run.standardOutput;
  EXPECT_EQ(testing::readImage((folder / "n-normal.png").string()).width, 100);
  EXPECT_NE(run.standardOutput.find("Not unit      : 2 covered texels"), std::string::npos) << run.standardOutput;
  const auto extra = runProgram(LUMIVEX_PREVIEW_BINARY, {"n.samples", "n", "extra"}, folder.path());
  EXPECT_EQ(extra.exitCode, 1);
  EXPECT_NE(extra.standardError.find("Usage : lumivex-preview"), std::string::npos);
}

struct PreviewCase {
  const char* label;
  std::string contents;
  std::string errorContains;
};

void PrintTo(const PreviewCase& c, std::ostream* os) { *os << c.label; }

class PreviewErrors : public ::testing::TestWithParam<PreviewCase> {};

TEST_P(PreviewErrors, RefuseFilesThatAreNotSamples) {
  TemporaryFolder folder;
  writeFile(folder / "in.samples", GetParam().contents);
  const auto run = runProgram(LUMIVEX_PREVIEW_BINARY, {"in.samples", "p"}, folder.path());
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.standardError.find(GetParam().errorContains), std::string::npos) << run.standardError;
  EXPECT_EQ(testing::folderEntries(folder.path()), std::vector<std::string>{"in.samples"});
}

std::string samplesHeader(std::int32_t first, std::int32_t second) {
  std::string header;
  append<std::int32_t>(header, {first, second});
  return header;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreviewErrors,
    ::testing::Values(PreviewCase{"Empty", "", "header cut short at byte 0"},
                      PreviewCase{"WidthAndHeightDisagreeWithTheLength", samplesHeader(128, 256) + std::string(393216, '\0'),
                                  "samples cut short at byte 393224"},
                      PreviewCase{"SizeZero", samplesHeader(0, 0), "width is not from 1 to 16384 at byte 0"},
                      PreviewCase{"HeightAbove16384", samplesHeader(1, 16385), "height is not from 1 to 16384 at byte 4"},
                      PreviewCase{"Short", samplesHeader(128, 128) + std::string(1000, '\0'),
                                  "samples cut short at byte 1008"},
                      PreviewCase{"Long", samplesHeader(128, 128) + std::string(393217, '\0'),
                                  "bytes after the last sample at byte 393224"}),
    [](const auto& info) { return std::string(info.param.label); });

// An OBJ cube without UVs through lumivex-import, lumivex and lumivex-preview.
TEST(GeneratedLayouts, GoThroughTheCommandAndThePreview) {
  testing::TemporaryFolder folder;
  std::string obj;
  for (int k = 0; k < 8; ++k) {
    obj += "v " + std::to_string(k & 1) + " " + std::to_string((k >> 1) & 1) + " " + std::to_string((k >> 2) & 1) + "\n";
  }
  obj += "f 1 3 4\nf 1 4 2\nf 5 6 8\nf 5 8 7\nf 1 2 6\nf 1 6 5\nf 3 7 8\nf 3 8 4\nf 1 5 7\nf 1 7 3\nf 2 4 8\nf 2 8 6\n";
  testing::writeFile(folder / "box.obj", obj);
  const auto imported =
      testing::runProgram(LUMIVEX_IMPORT_BINARY, {"box.obj", "box", "--generate-lightmap-uv", "--size", "256"}, folder.path());
  ASSERT_EQ(imported.exitCode, 0) << imported.standardError;
  EXPECT_EQ(imported.standardError, "") << "a generated layout gives no warning";
  EXPECT_NE(imported.standardOutput.find("Generated lightmap UVs : 6 charts for 1 meshes"), std::string::npos)
      << imported.standardOutput;
  ASSERT_EQ(testing::runProgram(LUMIVEX_BINARY, {"medium", "box"}, folder.path()).exitCode, 0);
  const auto previewed = testing::runProgram(LUMIVEX_PREVIEW_BINARY, {"box.samples", "box"}, folder.path());
  ASSERT_EQ(previewed.exitCode, 0) << previewed.standardError;
  // Six faces of one square metre each, packed two texels apart: about half the square and more.
  const std::size_t at = previewed.standardOutput.find("Covered       : ");
  ASSERT_NE(at, std::string::npos);
  const double share = std::stod(previewed.standardOutput.substr(previewed.standardOutput.find('(', at) + 1));
  EXPECT_GT(share, 50.0) << previewed.standardOutput;
  EXPECT_NE(previewed.standardOutput.find("Not unit      : 0 covered"), std::string::npos) << previewed.standardOutput;
}

}  // namespace
}  // namespace lumivex
