// The command line as a user meets it: the built tool run in an empty folder.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "lumivex/command_line.h"
#include "support/console_texts.h"
#include "support/tool_runner.h"

namespace lumivex {
namespace {

using testing::folderEntries;
using testing::kBanner;
using testing::kUsage;
using testing::namesLines;
using testing::readFile;
using testing::runProgram;
using testing::TemporaryFolder;

const std::string kTooFew = "Error : Inscufficient parameters.\r\n";
const std::string kBadSize = "Error : Invalid size specifier use either : small, medium or large\r\n";

std::string namesThenMissingInput(const std::string& input, const std::string& output) {
  return namesLines(input, output) + "Error : Unable to open input file : " + input + "\r\n" + kUsage;
}

struct CommandLineCase {
  const char* label;
  std::vector<std::string> arguments;
  int exitCode;
  std::string standardOutput;
};

void PrintTo(const CommandLineCase& c, std::ostream* os) { *os << c.label; }

class CommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, PrintsExactTextsAndLeavesOnlyAnEmptyLog) {
  const CommandLineCase& c = GetParam();
  TemporaryFolder folder;
  // A log left over from an earlier run is emptied.
  testing::writeFile(folder / "lumivex.log", "text from an earlier run\n");

  const auto run = runProgram(LUMIVEX_BINARY, c.arguments, folder.path());

  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(run.standardOutput, c.standardOutput);
  EXPECT_EQ(run.standardError, "");
  EXPECT_EQ(folderEntries(folder.path()), std::vector<std::string>{"lumivex.log"});
  EXPECT_EQ(readFile(folder / "lumivex.log"), "");
}

const std::string kLongName(5000, 'n');

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLine,
    ::testing::Values(
        CommandLineCase{"NoArguments", {}, 101, kBanner + kTooFew + kUsage},
        CommandLineCase{"OnlySize", {"small"}, 101, kBanner + kTooFew + kUsage},
        CommandLineCase{"SizeInAnotherCase", {"Small", "mesh"}, 102, kBanner + kBadSize + kUsage},
        CommandLineCase{"SizeWithExtraCharacters", {"smallish", "mesh"}, 102, kBanner + kBadSize + kUsage},
        CommandLineCase{"EmptySize", {"", "mesh"}, 102, kBanner + kBadSize + kUsage},
        CommandLineCase{"DefaultOutputName", {"small", "mesh"}, 102,
                        namesThenMissingInput("mesh.kvx", "mesh.samples")},
        CommandLineCase{"OutputNameGiven", {"large", "mesh", "out"}, 102,
                        namesThenMissingInput("mesh.kvx", "out.samples")},
        CommandLineCase{"FourthArgumentIgnored", {"medium", "mesh", "out", "extra"}, 102,
                        namesThenMissingInput("mesh.kvx", "out.samples")},
        CommandLineCase{"ExtensionTypedIsKept", {"small", "mesh.kvx"}, 102,
                        namesThenMissingInput("mesh.kvx.kvx", "mesh.kvx.samples")},
        CommandLineCase{"NameOfThousandsOfCharacters", {"small", kLongName}, 102,
                        namesThenMissingInput(kLongName + ".kvx", kLongName + ".samples")},
        CommandLineCase{"NamesUsedAsTyped", {"small", "sub dir/Mesh Ä", "../x"}, 102,
                        namesThenMissingInput("sub dir/Mesh Ä.kvx", "../x.samples")}),
    [](const ::testing::TestParamInfo<CommandLineCase>& info) { return std::string(info.param.label); });

TEST(SizeKeyword, OnlyTheThreeWholeLowerCaseWordsAreSizes) {
  EXPECT_EQ(lightmapSizeFromKeyword("small"), 128);
  EXPECT_EQ(lightmapSizeFromKeyword("medium"), 256);
  EXPECT_EQ(lightmapSizeFromKeyword("large"), 512);
  for (const char* other : {"LARGE", "Medium", "small ", " small", "smal", "large\n", "128", ""}) {
    EXPECT_FALSE(lightmapSizeFromKeyword(other).has_value()) << other;
  }
}

// A log name taken by something other than a regular file is passed over
// silently: nothing behind it is touched and the run neither stops nor blocks.
TEST(CommandLine, LogFileThatIsNotARegularFileIsPassedOver) {
  struct Case {
    const char* label;
    void (*make)(const TemporaryFolder& folder);
  };
  const Case cases[] = {
      {"Folder", [](const TemporaryFolder& f) { std::filesystem::create_directory(f / "lumivex.log"); }},
      {"SymlinkToAFile", [](const TemporaryFolder& f) {
         testing::writeFile(f / "precious", "keep me");
         std::filesystem::create_symlink("precious", f / "lumivex.log");
       }},
      {"DanglingSymlink", [](const TemporaryFolder& f) { std::filesystem::create_symlink("created", f / "lumivex.log"); }},
      {"Fifo", [](const TemporaryFolder& f) { ASSERT_EQ(mkfifo((f / "lumivex.log").c_str(), 0600), 0); }},
  };
  for (const Case& c : cases) {
    TemporaryFolder folder;
    c.make(folder);
    const auto before = folderEntries(folder.path());
    testing::RunOptions options;
    options.timeLimitSeconds = 20;
    const auto run = runProgram(LUMIVEX_BINARY, {"small"}, folder.path(), options);
    EXPECT_EQ(run.exitCode, 101) << c.label;
    EXPECT_EQ(run.standardOutput, kBanner + kTooFew + kUsage) << c.label;
    EXPECT_EQ(folderEntries(folder.path()), before) << c.label;
    if (std::filesystem::exists(folder / "precious")) {
      EXPECT_EQ(readFile(folder / "precious"), "keep me");
    }
  }
}

TEST(CommandLine, ClosedStandardOutputNeverReachesTheLog) {
  TemporaryFolder folder;
  testing::RunOptions options;
  options.closeStandardOutput = true;
  const auto run = runProgram(LUMIVEX_BINARY, {"small", "mesh"}, folder.path(), options);
  EXPECT_EQ(run.exitCode, 102);
  EXPECT_EQ(readFile(folder / "lumivex.log"), "");
}

}  // namespace
}  // namespace lumivex
