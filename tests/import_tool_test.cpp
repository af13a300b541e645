// lumivex-import on small models written here: the layout check's counts at
// two sizes, the report, meshes without the lightmap set, joined vertices,
// hostile models, and the conventions of its command line.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>
#include <cstring>
#include <regex>
#include <sstream>

#include <lumivex/lumivex.h>
#include "import/isolated_reading.h"
#include "import/layout_report.h"
#include "support/tool_runner.h"

namespace lumivex {
namespace {

using testing::readFile;
using testing::runProgram;
using testing::TemporaryFolder;
using testing::writeFile;

// A point of a lightmap layout in texels at size 8.
struct Texel {
  double x, y;
};
using Triangle = std::array<Texel, 3>;

struct ObjMesh {
  std::string name;
  std::vector<Triangle> triangles;
};

// An OBJ model: each mesh an object, each triangle with corners of its own,
// the layout in the (only) UV set.
std::string objModel(const std::vector<ObjMesh>& meshes) {
  std::ostringstream obj;
  obj.precision(17);
  int corner = 0;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    obj << "o " << meshes[m].name << "\n";
    for (const Triangle& triangle : meshes[m].triangles) {
      for (const Texel& t : triangle) obj << "v " << t.x << " " << t.y << " " << m << "\nvt " << t.x / 8 << " " << t.y / 8 << "\n";
      obj << "f " << corner + 1 << "/" << corner + 1 << " " << corner + 2 << "/" << corner + 2 << " " << corner + 3
          << "/" << corner + 3 << "\n";
      corner += 3;
    }
  }
  return obj.str();
}

const Triangle kQuadLow = {{{1, 1}, {5, 1}, {5, 5}}};
const Triangle kQuadHigh = {{{1, 1}, {5, 5}, {1, 5}}};

struct Counts {
  std::size_t outside, zeroArea, unsampled, overlapped;
  std::string sizeSamplingAll;  // "null" for none up to 16384
  std::string unsampledShare = "0.0000";  // of the surface, as the report writes it
  std::string unsampledPercent = "";      // the same in the warning
};

struct LayoutCase {
  const char* label;
  std::vector<ObjMesh> meshes;
  Counts at8, at16;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.label; }

std::size_t countIn(const std::string& json, const std::string& key) {
  std::smatch match;
  EXPECT_TRUE(std::regex_search(json, match, std::regex("\"" + key + "\": ([0-9]+|null)"))) << key;
  return match.empty() || match[1] == "null" ? 0 : std::stoul(match[1]);
}

class LayoutFaults : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutFaults, AreCountedAtEachSize) {
  const LayoutCase& c = GetParam();
  TemporaryFolder folder;
  writeFile(folder / "model.obj", objModel(c.meshes));
  for (const auto& [size, expected] : {std::pair{8, c.at8}, std::pair{16, c.at16}}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const auto run = runProgram(LUMIVEX_IMPORT_BINARY,
                                {"model.obj", "out", "--lightmap-uv", "0", "--size", std::to_string(size), "--report",
                                 "report.json"},
                                folder.path());
    ASSERT_EQ(run.exitCode, 0) << run.standardError;
    const std::string json = readFile(folder / "report.json");
    EXPECT_EQ(countIn(json, "outside"), expected.outside) << json;
    EXPECT_EQ(countIn(json, "zeroArea"), expected.zeroArea) << json;
    EXPECT_EQ(countIn(json, "unsampled"), expected.unsampled) << json;
    EXPECT_EQ(countIn(json, "overlappedTexels"), expected.overlapped) << json;
    EXPECT_NE(json.find("\"unsampledAreaShare\": " + expected.unsampledShare), std::string::npos) << json;
    if (expected.unsampled > 0) {
      EXPECT_NE(run.standardError.find("(" + expected.unsampledPercent + " % of the surface)"), std::string::npos)
          << run.standardError;
    }
    const std::string sizeSamplingAll =
        expected.sizeSamplingAll.empty() ? std::to_string(size) : expected.sizeSamplingAll;
    EXPECT_NE(json.find("\"sizeSamplingAll\": " + sizeSamplingAll + ","), std::string::npos) << json;
    // A warning for each fault found, and none for a clean layout.
    const bool faulty = expected.outside + expected.zeroArea + expected.unsampled + expected.overlapped > 0;
    EXPECT_EQ(run.standardError.find("Warning") != std::string::npos, faulty) << run.standardError;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LayoutFaults,
    ::testing::Values(
        // Corners on the shared diagonal lie inside neither triangle of a quad.
        LayoutCase{"Stacked", {{"A", {kQuadLow, kQuadHigh}}, {"B", {kQuadLow, kQuadHigh}}}, {0, 0, 0, 6, ""},
                   {0, 0, 0, 42, ""}},
        LayoutCase{"Mirrored",
                   {{"A", {kQuadLow, kQuadHigh}}, {"B", {{{{5, 1}, {1, 1}, {1, 5}}}, {{{5, 1}, {1, 5}, {5, 5}}}}}},
                   {0, 0, 0, 4, ""},
                   {0, 0, 0, 36, ""}},
        LayoutCase{"PartlyOverlapping",
                   {{"A", {{{{0, 0}, {6, 0}, {0, 6}}}}}, {"B", {{{{1, 1}, {7, 1}, {1, 7}}}}}},
                   {0, 0, 0, 3, ""},
                   {0, 0, 0, 21, ""}},
        LayoutCase{"EdgeAndCornerSharing",
                   {{"A", {{{{0, 0}, {6, 0}, {0, 6}}}, {{{6, 0}, {6, 6}, {0, 6}}}}},
                    {"B", {{{{6, 6}, {7, 6}, {6, 7}}}}}},
                   {0, 0, 0, 0, ""},
                   {0, 0, 0, 0, ""}},
        // The small triangle first holds a corner (on its long edge) at 32.
        LayoutCase{"SubTexel",
                   {{"A", {{{{0, 0}, {4, 0}, {0, 4}}}, {{{2.125, 2.125}, {2.375, 2.125}, {2.125, 2.375}}}}}},
                   {0, 0, 1, 0, "32", "0.0039", "0.39"},  // 1/32 of 8 1/32 in model units
                   {0, 0, 1, 0, "32", "0.0039", "0.39"}},
        // u = 1 is inside; a triangle wholly beyond it is sampled at no size.
        LayoutCase{"OutsideTheUnitSquare",
                   {{"A", {{{{4, 4}, {12, 4}, {4, 12}}}, {{{10, 10}, {11, 10}, {10, 11}}}, {{{0, 0}, {3, 0}, {0, 3}}}}}},
                   {2, 0, 1, 0, "null", "0.0135", "1.35"},  // 1/2 of 37
                   {2, 0, 1, 0, "null", "0.0135", "1.35"}},
        LayoutCase{"ZeroArea",
                   {{"A", {{{{1, 1}, {1, 1}, {1, 1}}}, {{{0, 0}, {2, 2}, {4, 4}}}, {{{0, 0}, {4, 0}, {0, 4}}}}}},
                   {0, 2, 0, 0, ""},
                   {0, 2, 0, 0, ""}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ImportTool, OverlapWarningNamesTheMeshesWorstFirst) {
  TemporaryFolder folder;
  // Three corners lie inside each half of the quad.
  writeFile(folder / "model.obj", objModel({{"small", {{{{1, 1}, {2.5, 1}, {1, 2.5}}}}},
                                            {"one", {kQuadLow}},
                                            {"both", {kQuadLow, kQuadHigh}},
                                            {"high", {kQuadHigh}},
                                            {"low", {kQuadLow}}}));
  const auto run = runProgram(LUMIVEX_IMPORT_BINARY, {"model.obj", "out", "--lightmap-uv", "0", "--size", "8"},
                              folder.path());
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_NE(run.standardError.find("Warning : 6 texels at size 8 lie inside two or more triangles"),
            std::string::npos)
      << run.standardError;
  EXPECT_NE(run.standardError.find(": \"both\" (6), \"one\" (3), \"high\" (3) and 1 more\n"), std::string::npos)
      << run.standardError;
}

TEST(ImportTool, MeshesWithoutTheLightmapSetAreRefusedOrLeftOut) {
  TemporaryFolder folder;
  writeFile(folder / "model.obj",
            objModel({{"mapped", {kQuadLow, kQuadHigh}}}) + "o bare\nv 0 0 1\nv 1 0 1\nv 0 1 1\nf 4 5 6\n");
  const auto refused = runProgram(LUMIVEX_IMPORT_BINARY, {"model.obj", "out", "--lightmap-uv", "0"}, folder.path());
  EXPECT_EQ(refused.exitCode, 4);
  EXPECT_NE(refused.standardError.find("mesh \"bare\" has no UV set 0"), std::string::npos) << refused.standardError;
  EXPECT_NE(refused.standardError.find("--skip-unmapped"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(folder / "out.kvx"));

  const auto skipped =
      runProgram(LUMIVEX_IMPORT_BINARY, {"model.obj", "out", "--lightmap-uv", "0", "--skip-unmapped"}, folder.path());
  EXPECT_EQ(skipped.exitCode, 0) << skipped.standardError;
  EXPECT_EQ(skipped.standardError, "Warning : 1 meshes without UV set 0 left out : \"bare\"\n");
  MeshFile file;
  ASSERT_TRUE(loadMeshFile((folder / "out.kvx").c_str(), file));
  ASSERT_EQ(file.groupCount(), 1);
  ASSERT_EQ(file.group(0).size(), 1u);
  EXPECT_EQ(file.group(0)[0].indexCount, 6) << "the mapped mesh, both of its triangles";

  writeFile(folder / "bare.obj", "o bare\nv 0 0 1\nv 1 0 1\nv 0 1 1\nf 1 2 3\n");
  const auto nothingLeft =
      runProgram(LUMIVEX_IMPORT_BINARY, {"bare.obj", "out2", "--lightmap-uv", "0", "--skip-unmapped"}, folder.path());
  EXPECT_EQ(nothingLeft.exitCode, 3);
  EXPECT_FALSE(std::filesystem::exists(folder / "out2.kvx"));
}

// A grid of quads with normals of its own: the written mesh holds each
// distinct vertex once, and samples exactly as the model's triangles do when
// every corner is a vertex of its own.
TEST(ImportTool, JoinedVerticesSampleLikeTheModel) {
  constexpr int kSide = 6;
  std::ostringstream obj;
  std::vector<float> positions, normals, lightmapUvs;
  for (int y = 0; y <= kSide; ++y) {
    for (int x = 0; x <= kSide; ++x) {
      obj << "v " << x << " " << y << " " << (x * y) % 3 << "\nvt " << x / 8.0 << " " << y / 8.0 << "\n";
    }
  }
  obj << "vn 0 0 1\nvn 0.6 0 0.8\n";
  auto corner = [&](int x, int y, int normal) {
    const int index = y * (kSide + 1) + x + 1;
    obj << " " << index << "/" << index << "/" << normal;
    positions.insert(positions.end(), {float(x), float(y), float((x * y) % 3)});
    normals.insert(normals.end(), normal == 1 ? std::initializer_list<float>{0, 0, 1} : std::initializer_list<float>{0.6f, 0, 0.8f});
    lightmapUvs.insert(lightmapUvs.end(), {float(x / 8.0), float(y / 8.0)});
  };
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      const int normal = 1 + (x + y) % 2;  // a seam of normals between neighbouring quads
      obj << "f";
      corner(x, y, normal), corner(x + 1, y, normal), corner(x + 1, y + 1, normal);
      obj << "\nf";
      corner(x, y, normal), corner(x + 1, y + 1, normal), corner(x, y + 1, normal);
      obj << "\n";
    }
  }
  TemporaryFolder folder;
  writeFile(folder / "grid.obj", obj.str());
  const auto run = runProgram(LUMIVEX_IMPORT_BINARY, {"grid.obj", "grid", "--lightmap-uv", "0"}, folder.path());
  ASSERT_EQ(run.exitCode, 0) << run.standardError;

  MeshFile file;
  ASSERT_TRUE(loadMeshFile((folder / "grid.kvx").c_str(), file));
  // Each grid point once per normal it is used with.
  std::size_t distinct = 0;
  for (int y = 0; y <= kSide; ++y) {
    for (int x = 0; x <= kSide; ++x) {
      bool used[2] = {false, false};
      for (int qy = y - 1; qy <= y; ++qy) {
        for (int qx = x - 1; qx <= x; ++qx) {
          if (qx >= 0 && qy >= 0 && qx < kSide && qy < kSide) used[(qx + qy) % 2] = true;
        }
      }
      distinct += std::size_t{used[0]} + std::size_t{used[1]};
    }
  }
  ASSERT_EQ(file.group(0).size(), 1u);
  EXPECT_EQ(static_cast<std::size_t>(file.group(0)[0].vertexCount), distinct);

  std::vector<std::uint32_t> soup(positions.size() / 3);
  for (std::size_t i = 0; i < soup.size(); ++i) soup[i] = static_cast<std::uint32_t>(i);
  MeshArrays arrays;
  arrays.positions = positions;
  arrays.normals = normals;
  arrays.lightmapUvs = lightmapUvs;
  arrays.indices32 = soup;
  SampleGrid fromModel, fromFile;
  ASSERT_TRUE(sampleMesh(arrays, 64, fromModel));
  ASSERT_TRUE(sampleMeshFile((folder / "grid.kvx").c_str(), 64, fromFile));
  ASSERT_EQ(std::memcmp(fromModel.data(), fromFile.data(), fromModel.cellCount() * sizeof(Sample)), 0);
}

struct HostileCase {
  const char* label;
  std::string fileName;
  std::string contents;
  std::vector<std::string> extraArguments;
  std::string errorContains;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.label; }

class HostileModels : public ::testing::TestWithParam<HostileCase> {};

// Whatever the import library does with them, the tool ends promptly with
// exit 2 and a reason, leaves no output and no core dump.
TEST_P(HostileModels, EndInARefusalWithAReason) {
  const HostileCase& c = GetParam();
  TemporaryFolder folder;
  writeFile(folder / c.fileName, c.contents);
  std::vector<std::string> arguments = {c.fileName, "out", "--lightmap-uv", "0"};
  arguments.insert(arguments.end(), c.extraArguments.begin(), c.extraArguments.end());
  const auto started = std::chrono::steady_clock::now();
  testing::RunOptions options;
  options.timeLimitSeconds = 30;
  const auto run = runProgram(LUMIVEX_IMPORT_BINARY, arguments, folder.path(), options);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(run.exitCode, 2) << run.standardError;
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's allocator ends the process on a failed allocation rather
  // than throwing; the refusal then says the import library failed.
  if (c.errorContains.find("memory") != std::string::npos) return;
#endif
  EXPECT_NE(run.standardError.find("Error : Unable to read model " + c.fileName + " : " + c.errorContains),
            std::string::npos)
      << run.standardError;
  EXPECT_EQ(testing::folderEntries(folder.path()), std::vector<std::string>{c.fileName});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileModels,
    ::testing::Values(
        // Two coloured parts: the import library builds a scene with a missing node.
        HostileCase{"InvalidScene", "parts.raw",
                    "Part\n0.2 0.4 0.6 0 0 0 1 0 0 0 1 0\n\n\nPart2\n0.1 0.2 0.3 0 0 1 1 0 1 0 1 1\n", {},
                    "Validation failed"},
        // Claims 98 billion vertices in a few bytes.
        HostileCase{"HugeCount", "huge.off", "OFF\n98765432109 2 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n3 2 1 0\n",
                    {"--max-memory", "256M"}, "the model needs more memory than 256 MB"},
        // A face list cut short: the import library's triangulation aborts.
        HostileCase{"AbortInTheLibrary", "cut.ply",
                    "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
                    "element face 1\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1",
                    {}, "the import library failed (signal 6"},
        // A header cut short: the import library never returns.
        HostileCase{"Hang", "header.ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\n",
                    {"--timeout", "1"}, "reading the model took more than 1 s"},
        // A face naming vertex 200 of 3.
        HostileCase{"FaceIndexPastTheVertices", "bad.ply",
                    "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
                    "property float s\nproperty float t\nelement face 1\nproperty list uchar int vertex_indices\n"
                    "end_header\n0 0 0 0 0\n1 0 0 1 0\n0 1 0 0 1\n3 0 1 200\n",
                    {}, "Validation failed"}),
    [](const auto& info) { return std::string(info.param.label); });

struct CommandLineCase {
  const char* label;
  const char* program;
  std::vector<std::string> arguments;
  int exitCode;
  std::string standardOutputStarts;
  std::string standardErrorStarts;
};

void PrintTo(const CommandLineCase& c, std::ostream* os) { *os << c.label; }

class CompanionCommandLines : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CompanionCommandLines, FollowTheUsualConventions) {
  const CommandLineCase& c = GetParam();
  TemporaryFolder folder;
  const auto run = runProgram(c.program, c.arguments, folder.path());
  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(run.standardOutput.substr(0, c.standardOutputStarts.size()), c.standardOutputStarts)
      << run.standardOutput;
  EXPECT_EQ(run.standardError.substr(0, c.standardErrorStarts.size()), c.standardErrorStarts) << run.standardError;
  EXPECT_EQ(c.exitCode == 0 ? run.standardError : run.standardOutput, "");
}

const std::string kImportVersion = std::string("lumivex-import ") + version() + "\n";
const std::string kPreviewVersion = std::string("lumivex-preview ") + version() + "\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, CompanionCommandLines,
    ::testing::Values(
        CommandLineCase{"ImportHelp", LUMIVEX_IMPORT_BINARY, {"--help"}, 0, "Usage : lumivex-import MODEL", ""},
        CommandLineCase{"ImportShortHelp", LUMIVEX_IMPORT_BINARY, {"a", "-h"}, 0, "Usage : lumivex-import MODEL", ""},
        CommandLineCase{"ImportVersion", LUMIVEX_IMPORT_BINARY, {"--version"}, 0, kImportVersion, ""},
        CommandLineCase{"ImportUnknown", LUMIVEX_IMPORT_BINARY, {"a", "b", "--foo"}, 1, "",
                        "Error : unknown option --foo\nUsage : lumivex-import"},
        CommandLineCase{"ImportSizeTooLarge", LUMIVEX_IMPORT_BINARY, {"a", "b", "--size=16385"}, 1, "",
                        "Error : --size takes a size from 1 to 16384, not \"16385\""},
        CommandLineCase{"ImportNoValue", LUMIVEX_IMPORT_BINARY, {"a", "b", "--timeout"}, 1, "",
                        "Error : option --timeout needs a value"},
        CommandLineCase{"ImportBadMemory", LUMIVEX_IMPORT_BINARY, {"a", "b", "--max-memory", "lots"}, 1, "",
                        "Error : --max-memory takes a size such as 800M or 4G, not \"lots\""},
        CommandLineCase{"ImportMissingName", LUMIVEX_IMPORT_BINARY, {"a"}, 1, "", "Error : OUTPUTNAME is missing"},
        CommandLineCase{"PreviewHelp", LUMIVEX_PREVIEW_BINARY, {"--help"}, 0, "Usage : lumivex-preview SAMPLESFILE",
                        ""},
        CommandLineCase{"PreviewVersion", LUMIVEX_PREVIEW_BINARY, {"--version"}, 0, kPreviewVersion, ""},
        CommandLineCase{"PreviewUnknown", LUMIVEX_PREVIEW_BINARY, {"a", "b", "--rows-up"}, 1, "",
                        "Error : unknown option --rows-up\nUsage : lumivex-preview"},
        CommandLineCase{"PreviewFlagWithValue", LUMIVEX_PREVIEW_BINARY, {"a", "b", "--rows-down=1"}, 1, "",
                        "Error : option --rows-down takes no value"},
        CommandLineCase{"PreviewExtraName", LUMIVEX_PREVIEW_BINARY, {"a", "b", "c"}, 1, "",
                        "Error : unexpected argument \"c\""}),
    [](const auto& info) { return std::string(info.param.label); });

// The processes whose parent is `parent`, from /proc.
std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parentOf = 0;
    rest >> state >> parentOf;
    if (parentOf == parent) children.push_back(std::stoi(name));
  }
  return children;
}

// SIGTERM, SIGINT or SIGHUP to the tool alone, while its child reads a model
// that never ends: the child is killed and reaped with it, nothing is left
// written, and the tool ends by the signal as a shell expects.
TEST(ImportTool, ASignalToTheToolEndsTheChildReadingTheModel) {
  for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signalNumber));
    TemporaryFolder folder;
    writeFile(folder / "header.ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\n");
    const std::string model = (folder / "header.ply").string(), out = (folder / "out").string();
    const char* arguments[] = {LUMIVEX_IMPORT_BINARY, model.c_str(), out.c_str(), "--timeout", "0", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t tool = 0;
    ASSERT_EQ(posix_spawn(&tool, LUMIVEX_IMPORT_BINARY, &actions, nullptr, const_cast<char**>(arguments), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::vector<pid_t> children;
    for (int wait = 0; wait < 1000 && children.empty(); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      children = childrenOf(tool);
    }
    ASSERT_EQ(children.size(), 1u);
    kill(tool, signalNumber);
    int status = 0;
    ASSERT_EQ(waitpid(tool, &status, 0), tool);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
    const auto killed = std::chrono::steady_clock::now();
    while (std::filesystem::exists("/proc/" + std::to_string(children[0])) &&
           std::chrono::steady_clock::now() - killed < std::chrono::seconds(1)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(children[0]))) << "the child lives on";
    EXPECT_EQ(testing::folderEntries(folder.path()), std::vector<std::string>{"header.ply"});
  }
}

// The child's answer is checked before anything is sized from it: cut short
// anywhere, or claiming more than it holds, or naming a vertex it lacks.
TEST(ImportTool, AnAnswerThatIsNotWholeAndConsistentIsRefused) {
  ReadResult sent;
  sent.message = "read";
  for (int m = 0; m < 2; ++m) {
    ImportedMesh& mesh = sent.model.meshes.emplace_back();
    mesh.name = "m" + std::to_string(m);
    mesh.vertices.resize(4);
    mesh.triangles = {0, 1, 2, 2, 3, 0};
    mesh.hasLightmapSet = m == 1;
  }
  const std::string answer = encodeAnswer(sent);
  ReadResult received;
  ASSERT_TRUE(decodeAnswer(answer, received));
  EXPECT_EQ(received.model.meshes.size(), 2u);
  EXPECT_EQ(received.model.meshes[1].triangles, sent.model.meshes[1].triangles);
  EXPECT_TRUE(received.model.meshes[1].hasLightmapSet);
  for (std::size_t cut = 0; cut < answer.size(); ++cut) {
    ReadResult partial;
    EXPECT_FALSE(decodeAnswer(answer.substr(0, cut), partial)) << cut;
  }
  // Counts written over with the largest value, one at a time: never trusted.
  for (std::size_t at = 0; at + 8 <= answer.size(); ++at) {
    std::string garbled = answer;
    std::memset(garbled.data() + at, 0xff, 8);
    ReadResult decoded;
    if (decodeAnswer(garbled, decoded)) {
      for (const ImportedMesh& mesh : decoded.model.meshes) {
        for (std::uint32_t index : mesh.triangles) EXPECT_LT(index, mesh.vertices.size()) << at;
      }
    }
  }
  ReadResult pastTheVertices = sent;
  pastTheVertices.model.meshes[1].triangles[4] = 4;
  ReadResult decoded;
  EXPECT_FALSE(decodeAnswer(encodeAnswer(pastTheVertices), decoded));
}

struct NormalsCase {
  const char* label;
  std::string fileName;
  std::string contents;
  std::size_t repaired;  // vertices whose normals are replaced
};

void PrintTo(const NormalsCase& c, std::ostream* os) { *os << c.label; }

class ModelNormals : public ::testing::TestWithParam<NormalsCase> {};

// Normals that give no direction (zero, not finite, far from unit length) are
// replaced by smooth normals, with one warning; the samples are then unit
// normals of the surface. Normals that are merely not quite unit stay.
TEST_P(ModelNormals, ThatGiveNoDirectionAreComputedInstead) {
  const NormalsCase& c = GetParam();
  TemporaryFolder folder;
  writeFile(folder / c.fileName, c.contents);
  const auto run = runProgram(LUMIVEX_IMPORT_BINARY, {c.fileName, "out", "--generate-lightmap-uv", "--size", "32"},
                              folder.path());
  ASSERT_EQ(run.exitCode, 0) << run.standardError;
  const std::string warning = "Warning : " + std::to_string(c.repaired) + " vertices have zero, non-finite or far";
  EXPECT_EQ(run.standardError.find(warning) != std::string::npos, c.repaired > 0) << run.standardError;
  SampleGrid grid;
  ASSERT_TRUE(sampleMeshFile((folder / "out.kvx").c_str(), 32, grid));
  std::size_t covered = 0;
  for (const Sample& sample : grid.samples()) {
    if (sample.position.x == 0 && sample.position.y == 0 && sample.normal.z == 0) continue;
    ++covered;
    EXPECT_NEAR(sample.normal.z, 1.0f, 1e-6f);
  }
  EXPECT_GT(covered, 100u);
}

const char* const kZeroNormalFacets =
    "solid s\nfacet normal 0 0 0\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\nendloop\nendfacet\n"
    "facet normal 0 0 0\nouter loop\nvertex 0 0 0\nvertex 1 1 0\nvertex 0 1 0\nendloop\nendfacet\nendsolid s\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ModelNormals,
    ::testing::Values(NormalsCase{"ZeroFacetNormals", "zero.stl", kZeroNormalFacets, 6},
                      NormalsCase{"SomeZeroSomeHuge", "some.obj",
                                  "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvn 0 0 0\nvn 0 0 40\nvn 0 0 1.2\n"
                                  "f 1//1 2//2 3//3\nf 1//3 3//3 4//3\n",
                                  2},
                      NormalsCase{"Usable", "fine.obj",
                                  "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvn 0 0 0.9\nf 1//1 2//1 3//1\nf 1//1 3//1 4//1\n",
                                  0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(LayoutReport, ReportsAsJsonWithNamesEscaped) {
  LayoutReport report;
  report.size = 64;
  report.total.triangles = 3;
  report.total.unsampled = 1;
  report.sizeSamplingAll = 0;
  report.total.surfaceArea = 8;
  report.total.unsampledArea = 2;
  LayoutCounts& mesh = report.meshes.emplace_back();
  mesh.triangles = 3;
  mesh.unsampled = 1;
  mesh.surfaceArea = 8;
  mesh.unsampledArea = 2;
  EXPECT_EQ(layoutReportJson(report, {"a \"quoted\"\\name\n\xff"}, "m.obj"),
            "{\n  \"model\": \"m.obj\",\n  \"size\": 64,\n  \"triangles\": 3, \"outside\": 0, \"zeroArea\": 0, "
            "\"unsampled\": 1, \"unsampledAreaShare\": 0.2500, \"overlappedTexels\": 0,\n  \"sizeSamplingAll\": null,\n  \"meshes\": [\n"
            "    {\"name\": \"a \\\"quoted\\\"\\\\name\\u000a\\ufffd\", \"triangles\": 3, \"outside\": 0, "
            "\"zeroArea\": 0, \"unsampled\": 1, \"unsampledAreaShare\": 0.2500, \"overlappedTexels\": 0}\n  ]\n}\n");
}

// Names come from any file: what is not well-formed UTF-8 (a stray byte, an
// overlong form, a UTF-16 surrogate, a code point past U+10FFFF, a sequence
// cut short) becomes U+FFFD, one per byte, so the report is always valid.
TEST(LayoutReport, JsonNamesAreAlwaysWellFormedUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},                        // a surrogate, U+D800
      {"\xed\xbf\xbf", "\\ufffd\\ufffd\\ufffd"},                        // U+DFFF
      {"\xc0\xaf", "\\ufffd\\ufffd"},                                    // overlong '/'
      {"\xe0\x80\xaf", "\\ufffd\\ufffd\\ufffd"},                        // overlong '/'
      {"\xf0\x80\x80\xaf", "\\ufffd\\ufffd\\ufffd\\ufffd"},            // overlong '/'
      {"\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},            // past U+10FFFF
      {"a\xe2\x82", "a\\ufffd\\ufffd"},                                  // cut short
      {"\xef\xbf\xbd", "\xef\xbf\xbd"},                                  // U+FFFD itself stays
  };
  for (const auto& [name, written] : cases) {
    LayoutReport report;
    report.meshes.emplace_back();
    const std::string json = layoutReportJson(report, {name}, "m");
    EXPECT_NE(json.find("{\"name\": \"" + written + "\","), std::string::npos) << json;
  }
}

}  // namespace
}  // namespace lumivex
