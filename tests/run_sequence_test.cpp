// Whole runs of the built tool: the progress line, the samples it writes under
// each kernel family, and every way a run can fail without losing anything.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <thread>
#include <random>
#include <cstring>

#include "output/sample_grid.h"
#include "support/console_texts.h"
#include "support/kernel_family.h"
#include "support/kvx_builder.h"
#include "support/tool_runner.h"

namespace lumivex {
namespace {

using testing::Family;
using testing::folderEntries;
using testing::kUsage;
using testing::namesLines;
using testing::readFile;
using testing::RunOptions;
using testing::runProgram;
using testing::TemporaryFolder;
using testing::TestMesh;
using testing::TestVertex;
using testing::writeFile;

const std::string kProgress = "Opened . Loaded . Converted . Saved . \r\n";

// A grid of quads, each quad in its own lightmap cell, with a little overlap
// at the cell borders so that shared edges occur.
TestMesh quadGridMesh(int cells, float offsetU, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> jitter(-1.0f, 1.0f);
  std::vector<TestVertex> vertices;
  std::vector<std::uint16_t> indices;
  const float cell = 0.5f / static_cast<float>(cells);
  for (int y = 0; y < cells; ++y) {
    for (int x = 0; x < cells; ++x) {
      const auto base = static_cast<std::uint16_t>(vertices.size());
      for (int corner = 0; corner < 4; ++corner) {
        const float cu = offsetU + (x + (corner & 1)) * cell;
        const float cv = (y + (corner >> 1)) * cell;
        vertices.push_back({cu * 10 + jitter(random), cv * 10, jitter(random), jitter(random), jitter(random),
                            1.0f + jitter(random) * 0.5f, 0, 0, cu, cv});
      }
      for (int k : {0, 1, 3, 0, 3, 2}) indices.push_back(static_cast<std::uint16_t>(base + k));
    }
  }
  return testing::meshOf(vertices, indices);
}

// What the library itself produces for `file` at `size` under `family`.
std::string expectedSamples(const std::string& file, LightmapSize size, Family family) {
  testing::useKernelFamily(family);
  MeshFile mesh;
  SampleGrid grid;
  EXPECT_TRUE(loadMeshFileFromMemory({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()}, mesh));
  EXPECT_TRUE(sampleFirstGroup(mesh, size, grid));
  testing::useRealKernelProbes();
  const std::vector<std::uint8_t> bytes = encodeSamplesFile(grid);
  return {bytes.begin(), bytes.end()};
}

std::uint64_t fnv1a(const std::string& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char byte : bytes) hash = (hash ^ byte) * 0x100000001b3ull;
  return hash;
}

const std::string kTwoMeshFile = testing::kvxFile({{quadGridMesh(6, 0.0f, 1), quadGridMesh(5, 0.5f, 2)}});

struct FamilyRun {
  Family family;
  RunOptions options;
};

TEST(Run, ConvertsUnderEachKernelFamily) {
  const FamilyRun runs[] = {
      {Family::Baseline, {{{"LUMIVEX_DISABLE_SIMD", "1"}}}},
      {Family::Baseline, {{{"LUMIVEX_DISABLE_SIMD", "0"}, {"LUMIVEX_DISABLE_KERNEL_SIMD", "1"}}}},
      {Family::Simd, {}},
      {Family::Simd, {{{"LUMIVEX_DISABLE_SIMD", "1"}, {"LUMIVEX_DISABLE_KERNEL_SIMD", "0"}}}},
  };
  for (const FamilyRun& run : runs) {
    for (const auto& [keyword, size] : {std::pair{"small", 128}, std::pair{"large", 512}}) {
      TemporaryFolder folder;
      writeFile(folder / "mesh.kvx", kTwoMeshFile);
      const auto result = runProgram(LUMIVEX_BINARY, {keyword, "mesh"}, folder.path(), run.options);
      EXPECT_EQ(result.exitCode, 0);
      EXPECT_EQ(result.standardOutput, namesLines("mesh.kvx", "mesh.samples") + kProgress);
      EXPECT_EQ(result.standardError, "");
      EXPECT_EQ(folderEntries(folder.path()), (std::vector<std::string>{"lumivex.log", "mesh.kvx", "mesh.samples"}));
      EXPECT_EQ(readFile(folder / "lumivex.log"), "");
      const std::string samples = readFile(folder / "mesh.samples");
      EXPECT_EQ(samples.size(), 8u + 24u * size * size);
      EXPECT_TRUE(samples == expectedSamples(kTwoMeshFile, size, run.family))
          << testing::familyName(run.family) << " " << keyword;
    }
  }
}

// Quads whose vertex normals and positions hold NaNs of both signs and
// infinities here and there: the samples carry them, and which NaN a blend
// gives must not depend on the build.
TestMesh nonFiniteMesh() {
  TestMesh mesh = quadGridMesh(8, 0.25f, 9);
  const std::uint32_t specials[] = {0x7FC00000u, 0xFFC00000u, 0x7FC12345u, 0xFF800001u, 0x7F800000u, 0xFF800000u};
  for (std::size_t v = 0; v * 40 < mesh.vertexBytes.size(); v += 3) {
    const std::size_t component = (v * 7) % 6;  // a position or normal component
    const std::uint32_t bits = specials[v % 6];
    mesh.vertexBytes.replace(40 * v + 4 * component, 4, std::string(reinterpret_cast<const char*>(&bits), 4));
  }
  return mesh;
}

// Golden hashes of whole outputs under each kernel family: any drift in the
// arithmetic, the write order or the NaN rules changes them.
TEST(Run, OutputIsStableUnderEachFamily) {
  struct Case {
    const char* label;
    std::string file;
    Family family;
    std::uint64_t hash;
  };
  const Case cases[] = {
      {"quads, baseline", kTwoMeshFile, Family::Baseline, 0xf4ff3fa2f925e3cdull},
      {"quads, simd", kTwoMeshFile, Family::Simd, 0x78c649edcb171b66ull},
      {"non-finite, baseline", testing::kvxFile({{nonFiniteMesh()}}), Family::Baseline, 0xf53d663d15df6068ull},
      {"non-finite, simd", testing::kvxFile({{nonFiniteMesh()}}), Family::Simd, 0xe33ae6ee6448fd9cull},
  };
  for (const Case& c : cases) {
    if (c.family == Family::Simd && !testing::processorEstimatesMatchReference()) continue;
    TemporaryFolder folder;
    writeFile(folder / "mesh.kvx", c.file);
    RunOptions options;
    if (c.family == Family::Baseline) options.environment = {{"LUMIVEX_DISABLE_SIMD", "1"}};
    const auto result = runProgram(LUMIVEX_BINARY, {"medium", "mesh", "out"}, folder.path(), options);
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(fnv1a(readFile(folder / "out.samples")), c.hash) << c.label;
  }
}

TEST(Run, OnlyTheFirstGroupIsSampledAndEmptySetsGiveZeroSamples) {
  struct Case {
    const char* label;
    std::string file;
    std::string sameAs;  // a file whose output must be identical
  };
  const TestMesh first = quadGridMesh(4, 0.0f, 3);
  const TestMesh second = quadGridMesh(4, 0.5f, 4);
  const Case cases[] = {
      {"TwoGroups", testing::kvxFile({{first}, {second}}), testing::kvxFile({{first}})},
      {"NoGroups", testing::kvxFile({}), ""},
      {"FirstGroupEmpty", testing::kvxFile({{}, {second}}), ""},
  };
  for (const Case& c : cases) {
    TemporaryFolder folder;
    writeFile(folder / "mesh.kvx", c.file);
    const auto result = runProgram(LUMIVEX_BINARY, {"small", "mesh"}, folder.path());
    EXPECT_EQ(result.exitCode, 0) << c.label;
    EXPECT_EQ(result.standardOutput, namesLines("mesh.kvx", "mesh.samples") + kProgress) << c.label;
    const std::string samples = readFile(folder / "mesh.samples");
    if (c.sameAs.empty()) {
      EXPECT_EQ(samples.size(), 393224u) << c.label;
      EXPECT_EQ(samples.find_first_not_of('\0', 8), std::string::npos) << c.label;
    } else {
      EXPECT_TRUE(samples == expectedSamples(c.sameAs, 128, Family::Simd)) << c.label;
    }
  }
}

// Format 1041 records shorter than 40 bytes are sampled through 40-byte slots
// that are zero past the record: with 39-byte records the top byte of every
// lightmap v is zero, so the triangle (0, 0), (64, 0), (10, ~1e-36) in texel
// space covers exactly the 65 texels of row 0 from column 0 to 64.
TEST(Run, ShortFormat1041RecordsAreSampledWithZeroesPastTheRecord) {
  std::string records;
  const TestVertex corners[] = {{1, 2, 3, 0, 0, 1, 0, 0, 0.0f, 0.0f},
                                {5, 2, 3, 0, 0, 1, 0, 0, 0.5f, 0.0f},
                                {1, 6, 3, 0, 0, 1, 0, 0, 10.0f / 128, 0.0f}};
  for (const TestVertex& vertex : corners) records += testing::vertexRecordBytes(vertex).substr(0, 39);
  records[2 * 39 + 38] = '\x40';  // v of the third vertex: bits 0x00400000
  // The last byte of each record would be 0x3F if the records were 40 bytes
  // long; a slot that did not zero it would put v near 0.5.
  const TestMesh mesh{"short", 1041, 39, 3, 3, records, {0, 1, 2}};
  TemporaryFolder folder;
  writeFile(folder / "mesh.kvx", testing::kvxFile({{mesh}}));
  ASSERT_EQ(runProgram(LUMIVEX_BINARY, {"small", "mesh"}, folder.path()).exitCode, 0);
  const std::string samples = readFile(folder / "mesh.samples");
  std::size_t covered = 0;
  for (std::size_t cell = 0; cell < 128 * 128; ++cell) {
    if (samples.compare(8 + 24 * cell, 24, std::string(24, '\0')) != 0) {
      EXPECT_LE(cell, 64u) << "only row 0, columns 0 to 64";
      ++covered;
    }
  }
  EXPECT_EQ(covered, 65u);
  float first[3];
  std::memcpy(first, samples.data() + 8, sizeof first);
  EXPECT_EQ(first[0], 1.0f);
  EXPECT_EQ(first[1], 2.0f);
}

// Format 1041 records longer than 40 bytes are sampled through their first
// 40 bytes: the same samples as the 40-byte records alone.
TEST(Run, LongFormat1041RecordsAreSampledThroughTheirFirst40Bytes) {
  const TestMesh exact = quadGridMesh(5, 0.1f, 12);
  TestMesh long1041 = exact;
  long1041.formatCode = 1041;
  long1041.vertexSize = 47;
  long1041.vertexBytes.clear();
  for (int v = 0; v < exact.vertexCount; ++v) {
    long1041.vertexBytes += exact.vertexBytes.substr(40 * std::size_t(v), 40) + "\x7F\x80\xFF" + "junk";
  }
  std::string samples[2];
  for (int k = 0; k < 2; ++k) {
    TemporaryFolder folder;
    writeFile(folder / "mesh.kvx", testing::kvxFile({{k == 0 ? exact : long1041}}));
    ASSERT_EQ(runProgram(LUMIVEX_BINARY, {"medium", "mesh"}, folder.path()).exitCode, 0);
    samples[k] = readFile(folder / "mesh.samples");
  }
  EXPECT_EQ(samples[0].size(), 1572872u);
  EXPECT_TRUE(samples[0] == samples[1]);
  EXPECT_NE(samples[0].find_first_not_of('\0', 8), std::string::npos);
}

struct FailureCase {
  const char* label;
  std::string input;                  // written as mesh.kvx unless empty
  std::vector<std::string> arguments;
  RunOptions options;
  int exitCode;
  std::string standardOutput;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

class RunFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(RunFailure, ReportsAndLeavesExistingOutputAlone) {
  const FailureCase& c = GetParam();
  TemporaryFolder folder;
  if (!c.input.empty()) writeFile(folder / "mesh.kvx", c.input);
  writeFile(folder / "plain", "a regular file");
  const std::string earlier(1000, '\x42');
  writeFile(folder / "out.samples", earlier);
  const auto before = folderEntries(folder.path());

  const auto result = runProgram(LUMIVEX_BINARY, c.arguments, folder.path(), c.options);

  EXPECT_EQ(result.exitCode, c.exitCode);
  EXPECT_EQ(result.standardOutput, c.standardOutput);
  EXPECT_EQ(result.standardError, "");
  auto expectedEntries = before;  // and the log file
  expectedEntries.push_back("lumivex.log");
  std::sort(expectedEntries.begin(), expectedEntries.end());
  EXPECT_EQ(folderEntries(folder.path()), expectedEntries) << "no temporary or partial file is left";
  EXPECT_TRUE(readFile(folder / "out.samples") == earlier);
}

const std::string kValidFile = testing::kvxFile({{quadGridMesh(3, 0.0f, 5)}});
const std::string kOpenLine = "Opened . Loaded . Converted . \r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, RunFailure,
    ::testing::Values(
        FailureCase{"MissingInput", "", {"small", "mesh", "out"}, {}, 102,
                    namesLines("mesh.kvx", "out.samples") + "Error : Unable to open input file : mesh.kvx\r\n" +
                        kUsage},
        FailureCase{"DamagedInput", kValidFile.substr(0, kValidFile.size() - 1), {"small", "mesh", "out"}, {}, 102,
                    namesLines("mesh.kvx", "out.samples") +
                        "Opened . \r\nError : Damaged input file : mesh.kvx (index array cut short at byte " +
                        std::to_string(kValidFile.size() - 2 * 54) + ")\r\n" + kUsage},
        FailureCase{"MissingOutputFolder", kValidFile, {"small", "mesh", "nowhere/out"}, {}, 103,
                    namesLines("mesh.kvx", "nowhere/out.samples") + kOpenLine +
                        "Error : Unable to write output file : nowhere/out.samples\r\n" + kUsage},
        FailureCase{"OutputThroughARegularFile", kValidFile, {"small", "mesh", "plain/out"}, {}, 103,
                    namesLines("mesh.kvx", "plain/out.samples") + kOpenLine +
                        "Error : Unable to write output file : plain/out.samples\r\n" + kUsage},
        FailureCase{"DeviceFullWhileWriting", kValidFile, {"large", "mesh", "out"}, {{}, 100'000}, 103,
                    namesLines("mesh.kvx", "out.samples") + kOpenLine +
                        "Error : Unable to write output file : out.samples\r\n" + kUsage}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Run, ReadsItsInputFromAPipe) {
  TemporaryFolder folder;
  ASSERT_EQ(mkfifo((folder / "mesh.kvx").c_str(), 0600), 0);
  std::thread writer([&] { writeFile(folder / "mesh.kvx", kTwoMeshFile); });
  const auto result = runProgram(LUMIVEX_BINARY, {"small", "mesh"}, folder.path());
  writer.join();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.standardOutput, namesLines("mesh.kvx", "mesh.samples") + kProgress);
  EXPECT_TRUE(readFile(folder / "mesh.samples") == expectedSamples(kTwoMeshFile, 128, Family::Simd));
}

// Sanitizers reserve address space of their own: the limit means nothing there.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(Run, OutOfMemoryStopsInOrderAndFilesNeedLittle) {
  // 40 meshes of 65,535 vertices: about 100 MB of vertex records, more than
  // the address space the run is given. Through a pipe the file is loaded
  // whole, and memory runs out; a regular file is read a few megabytes at a
  // time, and converts.
  std::vector<TestVertex> vertices(65535);
  const TestMesh big = testing::meshOf(vertices, {0, 1, 2});
  const std::string file = testing::kvxFile({std::vector<TestMesh>(40, big)});
  RunOptions limited;
  limited.addressSpaceLimit = 96ll << 20;
  {
    // The run stops reading early: the writer must not die of SIGPIPE.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    TemporaryFolder folder;
    ASSERT_EQ(mkfifo((folder / "mesh.kvx").c_str(), 0600), 0);
    std::thread writer([&] { writeFile(folder / "mesh.kvx", file); });
    const auto result = runProgram(LUMIVEX_BINARY, {"small", "mesh"}, folder.path(), limited);
    writer.join();
    EXPECT_EQ(result.exitCode, 103);
    EXPECT_EQ(result.standardOutput,
              namesLines("mesh.kvx", "mesh.samples") + "Opened . \r\nError : Not enough memory\r\n" + kUsage);
    EXPECT_EQ(folderEntries(folder.path()), (std::vector<std::string>{"lumivex.log", "mesh.kvx"}));
    std::signal(SIGPIPE, previous);
  }
  TemporaryFolder folder;
  writeFile(folder / "mesh.kvx", file);
  const auto result = runProgram(LUMIVEX_BINARY, {"small", "mesh"}, folder.path(), limited);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.standardOutput, namesLines("mesh.kvx", "mesh.samples") + kProgress);
}
#endif

}  // namespace
}  // namespace lumivex
