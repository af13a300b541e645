#include "output/atomic_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace lumivex {

namespace {

std::string folderOf(const std::string& fileName) {
  const std::size_t slash = fileName.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return fileName.substr(0, slash);
}

// The mode the new file is created with: an existing file keeps its
// permissions, as it would if it were overwritten in place; a new one gets
// those a plain fopen would give it (0666 less the process's umask, which the
// system applies when the file is created).
mode_t creationModeFor(const std::string& fileName, bool& keepExisting) {
  struct stat existing {};
  keepExisting = stat(fileName.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  return keepExisting ? static_cast<mode_t>(existing.st_mode & 07777) : 0666;
}

// Creates a new file ".lumivex-XXXXXX" beside `fileName` (a short name of its
// own, so names near the file system's limit still work); -1 on failure.
int createTemporaryFile(const std::string& folder, mode_t mode, std::string& temporaryName) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::atomic<std::uint64_t> calls{0};
  // Names need only differ between writers at the same moment: the clock, the
  // process and a count of calls make them do so; O_EXCL settles the rest.
  std::uint64_t state = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                        static_cast<std::uint64_t>(getpid()) << 40 ^ calls.fetch_add(1) * 0x9E3779B97F4A7C15ull;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix(6, 'x');
    for (char& letter : suffix) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      letter = kLetters[(state >> 33) % (sizeof kLetters - 1)];
    }
    temporaryName = folder + "/.lumivex-" + suffix;
    const int descriptor = open(temporaryName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (descriptor >= 0 || errno != EEXIST) return descriptor;
  }
  return -1;
}

// After a rename the folder's entry must reach the disk too, or a power cut
// can bring back the old name, or none.
void syncFolder(const std::string& folder) {
  const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  fsync(descriptor);
  close(descriptor);
}

}  // namespace

// Holds back the signals that end a run from the keyboard or the system while
// a temporary file exists, so that such a run cannot leave one behind; they
// arrive as soon as the file is renamed or removed.
class DeferredTerminationSignals {
 public:
  DeferredTerminationSignals() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, signalNumber);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~DeferredTerminationSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  DeferredTerminationSignals(const DeferredTerminationSignals&) = delete;
  DeferredTerminationSignals& operator=(const DeferredTerminationSignals&) = delete;

 private:
  sigset_t previous_;
};

bool writeFileAtomically(const std::string& fileName, const std::function<bool(std::FILE*)>& writeContents) {
  const DeferredTerminationSignals deferred;
  const std::string folder = folderOf(fileName);
  bool keepExisting = false;
  const mode_t mode = creationModeFor(fileName, keepExisting);
  std::string temporaryName;
  const int descriptor = createTemporaryFile(folder, mode, temporaryName);
  if (descriptor < 0) return false;

  // The umask does not apply to an existing file's permissions.
  bool written = !keepExisting || fchmod(descriptor, mode) == 0;
  std::FILE* file = written ? fdopen(descriptor, "wb") : nullptr;
  if (file == nullptr) {
    close(descriptor);
    written = false;
  } else {
    written = writeContents(file);
    written = std::fflush(file) == 0 && written;
    // The contents reach the disk before the name does.
    written = written && fsync(fileno(file)) == 0;
    written = std::fclose(file) == 0 && written;
  }
  if (written && std::rename(temporaryName.c_str(), fileName.c_str()) == 0) {
    syncFolder(folder);
    return true;
  }
  std::remove(temporaryName.c_str());
  return false;
}

}  // namespace lumivex
