// The mesh loader: valid layouts load exactly; damaged files are refused with
// a reason and an offset, cheaply, whether they come from a file or a stream.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "mesh/byte_reader.h"
#include "mesh/mesh_set.h"
#include "support/allocation_probe.h"
#include "support/byte_sources.h"
#include "support/kvx_builder.h"
#include "support/tool_runner.h"

namespace lumivex {
namespace {

using testing::KvxBuilder;
using testing::kvxFile;
using testing::meshOf;
using testing::TestMesh;
using testing::TestVertex;

enum class Source { RegularFile, Stream };

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Loads `bytes` from a regular file (length known) or from a stream of
// unknown length that delivers at most 4,096 bytes per read, like a pipe.
Result loadBytes(const std::string& bytes, MeshSet& set, Source source = Source::RegularFile,
                      const ReadOptions& options = {}) {
  if (source == Source::Stream) {
    testing::ChunkedSource stream(bytes, 4096, false);
    ByteReader reader(stream);
    return readMeshSet(reader, set, options);
  }
  std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  std::rewind(file.get());
  FileDescriptorSource regularFile(fileno(file.get()));
  ByteReader reader(regularFile);
  return readMeshSet(reader, set, options);
}

std::vector<TestVertex> threeVertices() {
  return {{1, 2, 3, 0, 0, 1, 0.1f, 0.2f, 0.0f, 0.0f},
          {4, 5, 6, 0, 1, 0, 0.3f, 0.4f, 0.5f, 0.0f},
          {7, 8, 9, 1, 0, 0, 0.5f, 0.6f, 0.0f, 0.5f}};
}

std::string asString(const VertexBytes& bytes) { return {bytes.begin(), bytes.end()}; }

void expectMeshEquals(const MeshRecord& mesh, const TestMesh& expected) {
  EXPECT_EQ(mesh.vertexSize, expected.vertexSize);
  EXPECT_EQ(mesh.vertexCount, expected.vertexCount);
  EXPECT_EQ(mesh.indexCount, expected.indexCount);
  EXPECT_EQ(asString(mesh.vertices), expected.vertexBytes);
  EXPECT_EQ(std::vector<std::uint16_t>(mesh.indices.begin(), mesh.indices.end()), expected.indices);
}

// The same content after different preambles and with trailing bytes loads the same.
struct PreambleCase {
  const char* label;
  std::string file;
};

std::string contentAfterPreamble() {
  return KvxBuilder().int32(1).group({meshOf(threeVertices(), {0, 1, 2, 2, 1})}).data();
}

void PrintTo(const PreambleCase& c, std::ostream* os) { *os << c.label; }

class LoaderPreamble : public ::testing::TestWithParam<PreambleCase> {};

TEST_P(LoaderPreamble, LoadsTheSameMeshSet) {
  for (Source source : {Source::RegularFile, Source::Stream}) {
    MeshSet set;
    const Result outcome = loadBytes(GetParam().file, set, source);
    ASSERT_EQ(outcome.status, Status::Ok) << reason(outcome);
    ASSERT_EQ(set.groupCount, 1);
    ASSERT_EQ(set.groups.size(), 1u);
    ASSERT_EQ(set.groups[0].meshCount, 1);
    expectMeshEquals(set.groups[0].meshes[0], meshOf(threeVertices(), {0, 1, 2, 2, 1}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, LoaderPreamble,
    ::testing::Values(
        PreambleCase{"Version10", KvxBuilder().preamble(10).data() + contentAfterPreamble()},
        PreambleCase{"Version9", KvxBuilder().preamble(9).data() + contentAfterPreamble()},
        PreambleCase{"Version11", KvxBuilder().preamble(11).data() + contentAfterPreamble()},
        PreambleCase{"Version0", KvxBuilder().preamble(0).data() + contentAfterPreamble()},
        PreambleCase{"NegativeVersion", KvxBuilder().preamble(-10).data() + contentAfterPreamble()},
        PreambleCase{"OpaqueBlocks", KvxBuilder().preamble(10, {5, 0, 1}).data() + contentAfterPreamble()},
        PreambleCase{"NegativeBlockLength", KvxBuilder().preamble(10, {-7}).data() + contentAfterPreamble()},
        PreambleCase{"NegativeBlockCount",
                     KvxBuilder().int32(10).filler(29).int32(-3).data() + contentAfterPreamble()},
        PreambleCase{"TrailingBytes",
                     KvxBuilder().preamble(9).data() + contentAfterPreamble() + std::string(100, '\xFF')}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Loader, SlotRulesFollowTheFormatCode) {
  std::string records32;   // three 32-byte records
  std::string records44;   // three 44-byte records
  std::string records36;   // three 36-byte records
  for (int n = 0; n < 3; ++n) {
    for (int b = 0; b < 44; ++b) {
      const char value = static_cast<char>(n * 50 + b + 1);
      if (b < 32) records32 += value;
      if (b < 36) records36 += value;
      records44 += value;
    }
  }
  TestMesh slots1041Short{"a", 1041, 32, 3, 3, records32, {0, 1, 2}};
  TestMesh slots1041Long{"b", 1041, 44, 3, 3, records44, {2, 1, 0}};
  TestMesh other36{"c", 0, 36, 3, 3, records36, {1, 1, 1}};
  TestMesh exact9233 = meshOf(threeVertices(), {0, 2, 1});

  MeshSet set;
  const Result outcome = loadBytes(kvxFile({{slots1041Short, slots1041Long, other36, exact9233}}), set);
  ASSERT_EQ(outcome.status, Status::Ok) << reason(outcome);
  const auto& meshes = set.groups.at(0).meshes;
  ASSERT_EQ(meshes.size(), 4u);

  struct Expected {
    std::int32_t stride;
    std::int32_t kind;
    std::string stored;  // records as kept: as in the file, but only the first 40 bytes of a long 1041 record
  };
  std::string heads44;
  for (int n = 0; n < 3; ++n) heads44 += records44.substr(44 * n, 40);
  const Expected expected[] = {{40, 2, records32}, {40, 2, heads44}, {36, 0, records36}, {40, 2, exact9233.vertexBytes}};
  for (std::size_t m = 0; m < 4; ++m) {
    EXPECT_EQ(meshes[m].vertexStride, expected[m].stride) << m;
    EXPECT_EQ(meshes[m].formatKind, expected[m].kind) << m;
    EXPECT_EQ(asString(meshes[m].vertices), expected[m].stored) << m;
  }
  EXPECT_EQ(meshes[1].indices[0], 2);  // the long records' tails were read past
}

TEST(Loader, GroupsEmptyMeshesAndNamesOfEveryLength) {
  TestMesh empty{"", 9233, 40, 0, 0, "", {}};
  TestMesh longName = meshOf(threeVertices(), {0, 1, 2});
  longName.name = std::string(1023, 'x');
  TestMesh noName = meshOf(threeVertices(), {2, 1, 0});
  noName.name = "";
  const std::vector<std::vector<TestMesh>> groups = {{longName, empty, noName}, {}, {empty, longName}};

  MeshSet set;
  ASSERT_EQ(loadBytes(kvxFile(groups), set).status, Status::Ok);
  ASSERT_EQ(set.groupCount, 3);
  ASSERT_EQ(set.groups.size(), 3u);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    ASSERT_EQ(set.groups[g].meshCount, std::int32_t(groups[g].size()));
    ASSERT_EQ(set.groups[g].meshes.size(), groups[g].size());
    for (std::size_t m = 0; m < groups[g].size(); ++m) expectMeshEquals(set.groups[g].meshes[m], groups[g][m]);
  }
}

TEST(Loader, GroupCountZeroEndsTheContent) {
  MeshSet set;
  const std::string file = KvxBuilder().preamble(10).int32(0).filler(64, '\x01').data();
  ASSERT_EQ(loadBytes(file, set).status, Status::Ok);
  EXPECT_EQ(set.groupCount, 0);
  EXPECT_TRUE(set.groups.empty());
}

// One version-10 file, one group, one mesh named "mesh": the mesh header starts
// at 45, the format code at 69, vertex size 73, vertex count 77, index count 81,
// vertex records at 89.
std::string oneMeshFile(const TestMesh& mesh) { return kvxFile({{mesh}}); }

TestMesh withCounts(std::int32_t format, std::int32_t vertexSize, std::int32_t vertexCount,
                    std::int32_t indexCount) {
  TestMesh mesh;
  mesh.formatCode = format;
  mesh.vertexSize = vertexSize;
  mesh.vertexCount = vertexCount;
  mesh.indexCount = indexCount;
  mesh.vertexBytes = std::string(64, '\0');
  return mesh;
}

struct DamageCase {
  const char* label;
  std::string file;
  std::string reason;
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.label; }

class LoaderDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(LoaderDamage, IsRefusedWithReasonAndOffset) {
  for (Source source : {Source::RegularFile, Source::Stream}) {
    MeshSet set;
    const Result outcome = loadBytes(GetParam().file, set, source);
    EXPECT_EQ(outcome.status, Status::Damaged);
    EXPECT_EQ(reason(outcome), GetParam().reason);
    EXPECT_EQ(set.groupCount, 0);
    EXPECT_TRUE(set.groups.empty());
  }
}

std::string withNameLength(std::int32_t length) {
  return KvxBuilder().preamble(10).int32(1).int32(1).int32(length).filler(200).data();
}

std::string cutAt(const std::string& file, std::size_t length) { return file.substr(0, length); }

const std::string kValid = oneMeshFile(meshOf(threeVertices(), {0, 1, 2}));  // 89 + 120 + 6 bytes

INSTANTIATE_TEST_SUITE_P(
    Classes, LoaderDamage,
    ::testing::Values(
        DamageCase{"EmptyFile", "", "version cut short at byte 0"},
        DamageCase{"HeaderBlock", cutAt(kValid, 20), "header block cut short at byte 4"},
        DamageCase{"BlockCount", cutAt(kValid, 35), "block count cut short at byte 33"},
        DamageCase{"OpaqueBlock", KvxBuilder().preamble(10).data().substr(0, 33) +
                                      KvxBuilder().int32(2).int32(3).filler(3).int32(50).filler(10).data(),
                   "opaque block cut short at byte 44"},
        DamageCase{"GroupCount", cutAt(kValid, 39), "group count cut short at byte 37"},
        DamageCase{"MeshCount", cutAt(kValid, 43), "mesh count cut short at byte 41"},
        DamageCase{"MeshName", cutAt(kValid, 51), "mesh name cut short at byte 49"},
        DamageCase{"MeshHeader", cutAt(kValid, 80), "mesh header cut short at byte 53"},
        DamageCase{"VertexRecords", cutAt(kValid, 150), "vertex records cut short at byte 89"},
        DamageCase{"IndexArray", cutAt(kValid, 213), "index array cut short at byte 209"},
        DamageCase{"NegativeGroupCount", KvxBuilder().preamble(10).int32(-1).data(),
                   "negative group count at byte 37"},
        DamageCase{"NegativeMeshCount", KvxBuilder().preamble(10).int32(1).int32(-2).data(),
                   "negative mesh count at byte 41"},
        DamageCase{"NegativeNameLength", withNameLength(-1), "mesh name length outside 0 to 1023 at byte 45"},
        DamageCase{"NameLength1024", withNameLength(1024), "mesh name length outside 0 to 1023 at byte 45"},
        DamageCase{"NegativeVertexSize", oneMeshFile(withCounts(9233, -40, 1, 3)),
                   "negative vertex size at byte 73"},
        DamageCase{"NegativeVertexCount", oneMeshFile(withCounts(9233, 40, -1, 3)),
                   "negative vertex count at byte 77"},
        DamageCase{"NegativeIndexCount", oneMeshFile(withCounts(9233, 40, 1, -3)),
                   "negative index count at byte 81"},
        DamageCase{"Format1041WithVertexSize0", oneMeshFile(withCounts(1041, 0, 5, 0)),
                   "format 1041 mesh with vertex size 0 at byte 73"},
        DamageCase{"VertexBytesBeyond31Bits", oneMeshFile(withCounts(9233, 40, 53687092, 0)),
                   "vertex array larger than 2147483647 bytes at byte 77"},
        DamageCase{"SlotBytesBeyond31Bits", oneMeshFile(withCounts(1041, 1, 53687092, 0)),
                   "vertex array larger than 2147483647 bytes at byte 77"},
        DamageCase{"IndexBytesBeyond31Bits", oneMeshFile(withCounts(9233, 40, 0, 1073741824)),
                   "index array larger than 2147483647 bytes at byte 81"},
        DamageCase{"HugeClaimInSmallFile", oneMeshFile(withCounts(9233, 40, 50'000'000, 3)),
                   "vertex records cut short at byte 89"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Loader, LegalEdgesOfTheLimitsStillLoad) {
  // Vertex size 0 with a format other than 1041 claims no memory; a 1041 mesh
  // with vertex size 0 and no vertices is empty.
  for (const TestMesh& mesh : {withCounts(9233, 0, 1000, 0), withCounts(1041, 0, 0, 0)}) {
    TestMesh noData = mesh;
    noData.vertexBytes.clear();
    MeshSet set;
    const Result outcome = loadBytes(oneMeshFile(noData), set);
    ASSERT_EQ(outcome.status, Status::Ok) << reason(outcome);
    EXPECT_EQ(set.groups[0].meshes[0].vertexCount, mesh.vertexCount);
    EXPECT_TRUE(set.groups[0].meshes[0].vertices.empty());
  }
}

// Every way the loader can read: by position or in order, with reads that
// come back short, with a buffer smaller than the records (so that reads and
// skips bypass it), and with the parallel reads on 1 to 4 threads.
struct ReadWay {
  const char* label;
  bool lengthKnown;
  std::size_t largestRead;  // per read of the source
  std::size_t bufferSize;
  ReadOptions options;
};

std::vector<ReadWay> everyReadWay() {
  std::vector<ReadWay> ways = {
      {"pipe", false, 65536, ByteReader::kDefaultBufferSize, {}},
      {"pipe, short reads, small buffer", false, 7, 64, {}},
      {"file", true, 65536, ByteReader::kDefaultBufferSize, {}},
      {"file, short reads, small buffer", true, 5, 64, {}},
  };
  for (std::size_t threads = 1; threads <= 4; ++threads) {
    ways.push_back({"file, parallel", true, 1 << 20, ByteReader::kDefaultBufferSize, {1, threads}});
    ways.push_back({"file, parallel, short reads", true, 3, 64, {1, threads}});
  }
  return ways;
}

Result loadBytesBy(const ReadWay& way, const std::string& bytes, MeshSet& set) {
  testing::ChunkedSource source(bytes, way.largestRead, way.lengthKnown);
  ByteReader reader(source, way.bufferSize);
  return readMeshSet(reader, set, way.options);
}

TEST(Loader, EveryWayOfReadingAgreesAndEveryCutIsDamaged) {
  std::string records32, records100;
  for (int b = 0; b < 96; ++b) records32 += static_cast<char>(b);
  for (int b = 0; b < 300; ++b) records100 += static_cast<char>(b * 7);
  const TestMesh short1041{"short", 1041, 32, 3, 4, records32, {0, 1, 2, 0}};
  const TestMesh long1041{"long", 1041, 100, 3, 3, records100, {2, 0, 1}};
  const TestMesh odd1041{"odd", 1041, 33, 1, 3, records100.substr(0, 33), {0, 0, 0}};  // indices at an odd offset
  const TestMesh regular = meshOf(threeVertices(), {0, 1, 2, 1, 2, 0});
  // Groups read as one block laid out as the file (every record kept whole,
  // index arrays at even offsets), and groups that cannot be.
  const std::vector<std::vector<TestMesh>> groups = {
      {regular, short1041, long1041}, {}, {long1041, regular}, {regular, short1041, regular}, {regular, odd1041}};
  KvxBuilder builder;
  builder.preamble(10, {3, -1}).int32(static_cast<std::int32_t>(groups.size()));
  for (const auto& group : groups) builder.group(group);
  const std::string file = builder.data();

  for (const ReadWay& way : everyReadWay()) {
    SCOPED_TRACE(::testing::Message() << way.label << ", " << way.options.readThreads << " threads");
    MeshSet set;
    const Result outcome = loadBytesBy(way, file, set);
    ASSERT_EQ(outcome.status, Status::Ok) << reason(outcome);
    ASSERT_EQ(set.groups.size(), groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
      ASSERT_EQ(set.groups[g].meshes.size(), groups[g].size());
      for (std::size_t m = 0; m < groups[g].size(); ++m) {
        const MeshRecord& mesh = set.groups[g].meshes[m];
        const TestMesh& expected = groups[g][m];
        EXPECT_EQ(std::vector<std::uint16_t>(mesh.indices.begin(), mesh.indices.end()), expected.indices);
        for (int v = 0; v < expected.vertexCount; ++v) {  // records as kept
          const std::size_t kept = mesh.recordBytes();
          const std::string record = expected.vertexBytes.substr(std::size_t(v) * expected.vertexSize, kept);
          EXPECT_EQ(asString(mesh.vertices).substr(std::size_t(v) * kept, kept), record) << g << " " << m << " " << v;
        }
      }
    }
    // Every cut; where threads are started per group, every seventh and the last few.
    const bool parallel = way.options.readThreads > 0;
    for (std::size_t length = 0; length < file.size(); ++length) {
      if (parallel && length % 7 != 0 && length + 8 < file.size()) continue;
      MeshSet cut;
      const Result cutOutcome = loadBytesBy(way, file.substr(0, length), cut);
      ASSERT_EQ(cutOutcome.status, Status::Damaged) << "cut at " << length;
      EXPECT_LE(cutOutcome.offset, length) << "cut at " << length;
      MeshSet reference;
      EXPECT_EQ(reason(cutOutcome), reason(loadBytesBy(everyReadWay()[0], file.substr(0, length), reference)));
      EXPECT_TRUE(cut.groups.empty());
    }
  }
}

// Moving on within the bytes already buffered costs no read; beyond them the
// reader starts afresh at the new place.
TEST(ByteReader, JumpsWithinTheBufferReadNothingMore) {
  std::string bytes(1000, '\0');
  for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>(k * 7);
  testing::ChunkedSource source(bytes, 1 << 20, true);
  ByteReader reader(source, 256);
  std::uint8_t byte = 0;
  ASSERT_TRUE(reader.read(&byte, 1));
  const std::size_t reads = source.reads();
  reader.jumpTo(255);  // the last byte buffered
  ASSERT_TRUE(reader.read(&byte, 1));
  EXPECT_EQ(byte, static_cast<std::uint8_t>(255 * 7));
  EXPECT_EQ(source.reads(), reads);
  reader.jumpTo(700);
  ASSERT_TRUE(reader.read(&byte, 1));
  EXPECT_EQ(byte, static_cast<std::uint8_t>(700 * 7));
  EXPECT_EQ(reader.offset(), 701u);
  EXPECT_EQ(*reader.bytesLeft(), 299u);
}

// Reading is paced by the buffer, not by the number of groups or meshes: a
// file of many tiny groups costs about one read per buffer.
TEST(Loader, ManySmallGroupsCostAboutOneReadPerBuffer) {
  const TestMesh triangle = meshOf(threeVertices(), {0, 1, 2});
  KvxBuilder empty, tiny;
  empty.preamble(10).int32(100'000);
  for (int g = 0; g < 100'000; ++g) empty.int32(0);
  tiny.preamble(10).int32(5'000);
  for (int g = 0; g < 5'000; ++g) tiny.group({triangle});
  for (const std::string& file : {empty.data(), tiny.data()}) {
    for (bool lengthKnown : {true, false}) {
      testing::ChunkedSource source(file, std::size_t{1} << 30, lengthKnown);
      ByteReader reader(source, 65536);
      MeshSet set;
      ASSERT_EQ(readMeshSet(reader, set).status, Status::Ok);
      EXPECT_LE(source.reads(), file.size() / 65536 + 3) << file.size() << (lengthKnown ? " file" : " pipe");
    }
  }
}

TEST(Loader, FalseClaimsInASmallFileCostNoLargeAllocation) {
  const std::vector<std::string> files = {
      oneMeshFile(withCounts(9233, 40, 50'000'000, 3)),               // vertices
      oneMeshFile(withCounts(1041, 1, 50'000'000, 3)),                // 40-byte slots from 1-byte records
      oneMeshFile(withCounts(9233, 40, 0, 1'000'000'000)),            // indices
      oneMeshFile(withCounts(1041, 536'870'956, 3, 3)),               // records far longer than their slots
      KvxBuilder().preamble(10).int32(2'000'000'000).filler(40).data(),         // groups
      KvxBuilder().preamble(10).int32(1).int32(2'000'000'000).filler(60).data(),  // meshes
  };
  for (const std::string& file : files) {
    for (const ReadWay& way : everyReadWay()) {
      testing::resetLargestAllocation();
      MeshSet set;
      EXPECT_EQ(loadBytesBy(way, file, set).status, Status::Damaged) << way.label;
      EXPECT_LT(testing::largestAllocation(), std::size_t{4} << 20) << way.label;
    }
  }
}

// A valid large group read in parallel comes in one block mapped for it:
// about the size of its arrays, which the probe sees too.
TEST(Loader, AValidLargeGroupTakesAboutItsOwnBytes) {
  std::vector<TestVertex> vertices(60000);
  for (std::size_t k = 0; k < vertices.size(); ++k) vertices[k].px = static_cast<float>(k);
  const TestMesh mesh = meshOf(vertices, std::vector<std::uint16_t>(30000, 7));
  const std::string file = kvxFile({{mesh, mesh, mesh}});
  const std::size_t arrayBytes = 3 * (mesh.vertexBytes.size() + 2 * mesh.indices.size());
  for (std::size_t threads = 1; threads <= 4; ++threads) {
    testing::resetLargestAllocation();
    MeshSet set;
    ASSERT_EQ(loadBytes(file, set, Source::RegularFile, {1, threads}).status, Status::Ok);
    EXPECT_GE(testing::largestAllocation(), arrayBytes);
    EXPECT_LE(testing::largestAllocation(), arrayBytes + 4096);
    EXPECT_EQ(asString(set.groups[0].meshes[2].vertices), mesh.vertexBytes);
  }
}

// The public loader: a path that is missing or a folder cannot be opened and
// the `opened` callback is not called; a damaged file leaves the MeshFile
// empty; a loaded one shows its meshes, the records as stored.
TEST(LoadMeshFile, OpensReportsAndShowsTheMeshes) {
  testing::TemporaryFolder folder;
  std::filesystem::create_directory(folder / "folder.kvx");
  testing::writeFile(folder / "good.kvx", kValid);
  testing::writeFile(folder / "cut.kvx", cutAt(kValid, 100));
  struct Case {
    std::string name;
    Status status;
    std::string reason;
    int openedCalls;
  };
  const Case cases[] = {
      {"missing.kvx", Status::CannotOpen, "cannot open the file", 0},
      {"folder.kvx", Status::CannotOpen, "cannot open the file", 0},
      {"cut.kvx", Status::Damaged, "vertex records cut short at byte 89", 1},
      {"good.kvx", Status::Ok, "", 1},
  };
  for (const Case& c : cases) {
    int openedCalls = 0;
    LoadOptions options;
    options.opened = [&openedCalls] { ++openedCalls; };
    MeshFile file;
    const Result result = loadMeshFile((folder / c.name).c_str(), file, options);
    EXPECT_EQ(result.status, c.status) << c.name;
    EXPECT_EQ(reason(result), c.reason) << c.name;
    EXPECT_EQ(openedCalls, c.openedCalls) << c.name;
    EXPECT_EQ(file.groupCount(), c.status == Status::Ok ? 1 : 0) << c.name;
  }
  MeshFile fromMemory;
  ASSERT_TRUE(loadMeshFileFromMemory({reinterpret_cast<const std::uint8_t*>(kValid.data()), kValid.size()}, fromMemory));
  ASSERT_EQ(fromMemory.group(0).size(), 1u);
  EXPECT_TRUE(fromMemory.group(1).empty());
  const MeshView& mesh = fromMemory.group(0)[0];
  EXPECT_EQ(mesh.vertexCount, 3);
  EXPECT_EQ(std::string(mesh.vertexRecords.begin(), mesh.vertexRecords.end()), meshOf(threeVertices(), {}).vertexBytes);
  EXPECT_EQ(mesh.vertex(2).lightmapV, 0.5f);
  EXPECT_EQ(mesh.vertex(1).position.y, 5.0f);
}

}  // namespace
}  // namespace lumivex
