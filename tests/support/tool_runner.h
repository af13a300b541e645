#pragma once
// Runs the built tool as a user would, in a folder of its own, and captures
// what it prints.

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace lumivex::testing {

// A fresh, empty folder under the system's temporary folder, removed afterwards.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct ToolRun {
  int exitCode = -1;
  std::string standardOutput;
  std::string standardError;
};

struct RunOptions {
  std::vector<std::pair<std::string, std::string>> environment;  // set on top of ours
  long long fileSizeLimit = -1;     // bytes any one written file may reach; -1: no limit
  long long addressSpaceLimit = -1;  // bytes of address space; -1: no limit
  bool closeStandardOutput = false;  // start the program with descriptor 1 closed
  unsigned timeLimitSeconds = 0;     // killed by SIGALRM after this long; 0: no limit
};

// Runs `program` with `arguments` (argv[1] onwards) in `workingFolder`.
// Standard output and error are captured outside that folder.
ToolRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::filesystem::path& workingFolder, const RunOptions& options = {});

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::vector<std::string> folderEntries(const std::filesystem::path& folder);

}  // namespace lumivex::testing
