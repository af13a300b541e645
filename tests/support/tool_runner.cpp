#include "support/tool_runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace lumivex::testing {

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> folderEntries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

ToolRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::filesystem::path& workingFolder, const RunOptions& options) {
  TemporaryFolder captureFolder;
  const std::string outPath = (captureFolder / "stdout").string();
  const std::string errPath = (captureFolder / "stderr").string();

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(workingFolder.c_str()) != 0) {
      _exit(126);
    }
    close(out);
    close(err);
    if (options.closeStandardOutput) close(1);
    // Runs do not depend on the kernel settings of whoever runs the tests.
    unsetenv("LUMIVEX_DISABLE_SIMD");
    unsetenv("LUMIVEX_DISABLE_KERNEL_SIMD");
    for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
    if (options.fileSizeLimit >= 0) {
      const rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.addressSpaceLimit >= 0) {
      const rlimit limit = {static_cast<rlim_t>(options.addressSpaceLimit),
                            static_cast<rlim_t>(options.addressSpaceLimit)};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (options.timeLimitSeconds > 0) alarm(options.timeLimitSeconds);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);

  ToolRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.standardOutput = readFile(outPath);
  run.standardError = readFile(errPath);
  return run;
}

}  // namespace lumivex::testing
