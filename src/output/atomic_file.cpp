#include "output/atomic_file.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

namespace lumivex {

namespace {

std::string folderOf(const std::string& fileName) {
  const std::size_t slash = fileName.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return fileName.substr(0, slash);
}

// An existing file keeps its permissions, as it would if it were overwritten
// in place; a new one gets those a plain fopen would give it.
mode_t fileModeFor(const std::string& fileName) {
  struct stat existing {};
  if (stat(fileName.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    return static_cast<mode_t>(existing.st_mode & 07777);
  }
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
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
  std::string temporaryName = folderOf(fileName) + "/.lumivex-XXXXXX";
  const int descriptor = mkstemp(temporaryName.data());
  if (descriptor < 0) return false;

  bool written = fchmod(descriptor, fileModeFor(fileName)) == 0;
  std::FILE* file = written ? fdopen(descriptor, "wb") : nullptr;
  if (file == nullptr) {
    close(descriptor);
    written = false;
  } else {
    written = writeContents(file);
    written = std::fflush(file) == 0 && written;
    written = std::fclose(file) == 0 && written;
  }
  if (written && std::rename(temporaryName.c_str(), fileName.c_str()) == 0) return true;
  std::remove(temporaryName.c_str());
  return false;
}

}  // namespace lumivex
