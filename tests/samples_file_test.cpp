// The samples file: exact layout, and a write that either completes or
// leaves everything as it was.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "output/atomic_file.h"
#include "output/sample_grid.h"
#include "support/tool_runner.h"

namespace lumivex {
namespace {

using testing::folderEntries;
using testing::readFile;
using testing::TemporaryFolder;

TEST(SamplesFile, LengthAndHeaderForEverySize) {
  struct Case {
    LightmapSize size;
    std::size_t length;
    std::string header;
  };
  const Case cases[] = {
      {128, 393224, std::string("\x80\0\0\0\x80\0\0\0", 8)},
      {256, 1572872, std::string("\0\x01\0\0\0\x01\0\0", 8)},
      {512, 6291464, std::string("\0\x02\0\0\0\x02\0\0", 8)},
  };
  for (const Case& c : cases) {
    TemporaryFolder folder;
    const std::string name = (folder / "out.samples").string();
    ASSERT_TRUE(writeSamplesFile(name.c_str(), makeSampleGrid(c.size)));
    const std::string bytes = readFile(name);
    EXPECT_EQ(bytes.size(), c.length);
    EXPECT_EQ(bytes.substr(0, 8), c.header);
    EXPECT_EQ(bytes.find_first_not_of('\0', 8), std::string::npos) << "an empty grid is all zero";
  }
}

TEST(SamplesFile, RecordOfTexelSitsAtItsRowMajorOffset) {
  SampleGrid grid = makeSampleGrid(128);
  grid.at(5, 3) = {{1.0f, -2.0f, 0.5f}, {0.0f, 1.0f, -0.0f}};
  const std::vector<std::uint8_t> bytes = encodeSamplesFile(grid);
  const std::size_t offset = 8 + 24 * (3 * 128 + 5);
  const std::uint8_t expected[24] = {0, 0, 0x80, 0x3F, 0, 0, 0, 0xC0, 0, 0, 0, 0x3F,
                                     0, 0, 0,    0,    0, 0, 0x80, 0x3F, 0, 0, 0, 0x80};
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + offset, bytes.begin() + offset + 24),
            std::vector<std::uint8_t>(std::begin(expected), std::end(expected)));

  TemporaryFolder folder;
  ASSERT_TRUE(writeSamplesFile((folder / "a.samples").c_str(), grid));
  EXPECT_EQ(readFile(folder / "a.samples"), std::string(bytes.begin(), bytes.end()));
}

TEST(SamplesFile, ReplacesALongerFileAndKeepsPermissions) {
  TemporaryFolder folder;
  const auto name = folder / "out.samples";
  testing::writeFile(name, std::string(7'000'000, 'x'));
  ASSERT_TRUE(writeSamplesFile(name.c_str(), makeSampleGrid(128)));
  EXPECT_EQ(readFile(name).size(), 393224u);
  EXPECT_EQ(folderEntries(folder.path()), std::vector<std::string>{"out.samples"});

  struct stat status {};
  ASSERT_EQ(stat(name.c_str(), &status), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);

  // A file that exists keeps its own permissions.
  ASSERT_EQ(chmod(name.c_str(), 0640), 0);
  ASSERT_TRUE(writeSamplesFile(name.c_str(), makeSampleGrid(256)));
  ASSERT_EQ(stat(name.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
}

TEST(SamplesFile, FailureLeavesNothingBehindAndTouchesNothing) {
  TemporaryFolder folder;
  testing::writeFile(folder / "plain", "not a folder");
  std::filesystem::create_directory(folder / "taken.samples");
  testing::writeFile(folder / "taken.samples" / "inside", "keep");
  for (const std::string& name : {(folder / "missing" / "out.samples").string(),
                                  (folder / "plain" / "out.samples").string(),
                                  (folder / "taken.samples").string()}) {
    EXPECT_FALSE(writeSamplesFile(name.c_str(), makeSampleGrid(128)).ok()) << name;
  }
  EXPECT_EQ(folderEntries(folder.path()), (std::vector<std::string>{"plain", "taken.samples"}));
  EXPECT_EQ(readFile(folder / "plain"), "not a folder");
  EXPECT_EQ(readFile(folder / "taken.samples" / "inside"), "keep");
}

}  // namespace
}  // namespace lumivex

namespace lumivex {
namespace {

// A termination request that arrives while the temporary file exists takes
// effect only once the file is in place: nothing half-written, nothing left over.
TEST(AtomicFile, TerminationDuringTheWriteLeavesNoTemporaryFile) {
  TemporaryFolder folder;
  const std::string name = (folder / "out.bin").string();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    writeFileAtomically(name, [](std::FILE* file) {
      std::raise(SIGTERM);
      return std::fputs("complete", file) >= 0;
    });
    _exit(0);  // not reached: the deferred SIGTERM ends the process first
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(readFile(name), "complete");
  EXPECT_EQ(folderEntries(folder.path()), std::vector<std::string>{"out.bin"});
}

}  // namespace
}  // namespace lumivex
