// lumivex-bake end to end: the files it writes, the same bytes at any thread
// count, and its refusals, which leave nothing behind.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <cstring>
#include <string>
#include <vector>

#include "support/tool_runner.h"

namespace {

using lumivex::testing::readFile;
using lumivex::testing::runProgram;
using lumivex::testing::TemporaryFolder;

const std::string kExample = std::string(LUMIVEX_EXAMPLES) + "/rounded_cube.kvx";
const char* const kOutputs[] = {"out-lightmap.exr", "out-lightmap.png", "out.glb"};

std::uint32_t littleU32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int k = 3; k >= 0; --k) value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(k)]);
  return value;
}

TEST(BakeTool, WritesAnImageOfEachKindAndAModelThatShowsIt) {
  TemporaryFolder folder;
  const auto run = runProgram(LUMIVEX_BAKE_BINARY, {kExample, "out", "--size", "64", "--sun", "1,2,3", "--rays", "8"},
                              folder.path());
  ASSERT_EQ(run.exitCode, 0) << run.standardError;
  EXPECT_EQ(run.standardError, "");
  EXPECT_NE(run.standardOutput.find("Written       : out-lightmap.exr, out-lightmap.png, out.glb"), std::string::npos);
  const std::string exr = readFile(folder / kOutputs[0]), png = readFile(folder / kOutputs[1]),
                    glb = readFile(folder / kOutputs[2]);
  EXPECT_EQ(littleU32(exr, 0), 20000630u);  // OpenEXR's magic number
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\x40\0\0\0\x40", 8));  // 64 x 64
  // Binary glTF: header, then the JSON chunk; the PNG rides in the binary chunk.
  ASSERT_GT(glb.size(), 20u);
  EXPECT_EQ(glb.substr(0, 4), "glTF");
  EXPECT_EQ(littleU32(glb, 4), 2u);
  EXPECT_EQ(littleU32(glb, 8), glb.size());
  const std::string json = glb.substr(20, littleU32(glb, 12));
  for (const char* expected : {"\"KHR_materials_unlit\"", "\"TEXCOORD_1\"", "\"texCoord\":1", "\"image/png\""}) {
    EXPECT_NE(json.find(expected), std::string::npos) << expected;
  }
  EXPECT_NE(glb.find(png), std::string::npos);
}

TEST(BakeTool, TheSameBytesAtAnyThreadCount) {
  TemporaryFolder folder;
  std::vector<std::string> first;
  for (const char* threads : {"1", "2", "3"}) {
    const auto run = runProgram(LUMIVEX_BAKE_BINARY,
                                {kExample, "out", "--size", "48", "--bounces", "1", "--rays", "8", "--threads", threads},
                                folder.path());
    ASSERT_EQ(run.exitCode, 0) << run.standardError;
    std::vector<std::string> files;
    for (const char* name : kOutputs) files.push_back(readFile(folder / name));
    if (first.empty()) first = files;
    for (std::size_t k = 0; k < files.size(); ++k) EXPECT_TRUE(files[k] == first[k]) << kOutputs[k] << " " << threads;
  }
}

TEST(BakeTool, RefusalsLeaveNothingBehind) {
  TemporaryFolder folder;
  lumivex::testing::writeFile(folder / "empty.kvx", "");
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    const char* message;
  };
  const Case cases[] = {
      {{kExample}, 1, "OUT_PREFIX is missing"},
      {{kExample, "out", "--rays", "0"}, 1, "invalid value \"0\" for --rays"},
      {{kExample, "out", "--sun", "0,0,0"}, 1, "invalid value \"0,0,0\" for --sun"},
      {{kExample, "out", "--sky", "1,x,1"}, 1, "invalid value \"1,x,1\" for --sky"},
      {{kExample, "out", "--ao=1"}, 1, "option --ao takes no value"},
      {{kExample, "out", "--glow", "1"}, 1, "unknown option --glow"},
      {{"missing.kvx", "out"}, 2, "Error : Unable to read mesh file missing.kvx"},
      {{"empty.kvx", "out"}, 2, "Error : Unable to read mesh file empty.kvx"},
      {{kExample, "no-such-folder/out", "--size", "8", "--rays", "1"}, 5, "Error : Unable to write no-such-folder/out"},
  };
  for (const Case& c : cases) {
    const auto run = runProgram(LUMIVEX_BAKE_BINARY, c.arguments, folder.path());
    EXPECT_EQ(run.exitCode, c.exitCode) << c.message;
    EXPECT_NE(run.standardError.find(c.message), std::string::npos) << run.standardError;
    EXPECT_EQ(lumivex::testing::folderEntries(folder.path()), std::vector<std::string>{"empty.kvx"}) << c.message;
  }
}

}  // namespace

namespace {

// SIGTERM or SIGINT during a long bake: the program ends by that signal
// within a second and writes nothing.
TEST(BakeTool, ASignalStopsTheBakeAndNothingIsWritten) {
  for (const int signalNumber : {SIGTERM, SIGINT}) {
    TemporaryFolder folder;
    const std::string out = (folder / "out").string();
    const char* arguments[] = {LUMIVEX_BAKE_BINARY, kExample.c_str(), out.c_str(), "--size", "2048",
                               "--rays", "4096", "--threads", "1", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t program = 0;
    ASSERT_EQ(posix_spawn(&program, LUMIVEX_BAKE_BINARY, &actions, nullptr, const_cast<char**>(arguments), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(program, signalNumber);
    const auto sent = std::chrono::steady_clock::now();
    int status = 0;
    ASSERT_EQ(waitpid(program, &status, 0), program);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(1));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
    EXPECT_TRUE(lumivex::testing::folderEntries(folder.path()).empty());
  }
}

}  // namespace
