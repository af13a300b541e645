#include "isolated_reading.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace lumivex {

namespace {

// How the child ends.
constexpr int kChildRead = 0;
constexpr int kChildUnreadable = 10;
constexpr int kChildOutOfMemory = 11;

// The child's answer, as bytes: the message, then every mesh.
class Writer {
 public:
  void bytes(const void* data, std::size_t count) {
    const auto* begin = static_cast<const char*>(data);
    out_.append(begin, count);
  }
  template <typename T>
  void value(T v) {
    bytes(&v, sizeof v);
  }
  void text(const std::string& s) {
    value<std::uint64_t>(s.size());
    bytes(s.data(), s.size());
  }
  const std::string& data() const { return out_; }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool bytes(void* data, std::size_t count) {
    if (count > in_.size() - at_) return false;
    std::memcpy(data, in_.data() + at_, count);
    at_ += count;
    return true;
  }
  template <typename T>
  bool value(T& v) {
    return bytes(&v, sizeof v);
  }
  bool text(std::string& s) {
    std::uint64_t size = 0;
    if (!value(size) || size > in_.size() - at_) return false;
    s.assign(in_.data() + at_, static_cast<std::size_t>(size));
    at_ += static_cast<std::size_t>(size);
    return true;
  }
  std::size_t left() const { return in_.size() - at_; }
  template <typename T>
  bool array(std::vector<T>& values) {
    std::uint64_t count = 0;
    if (!value(count) || count > (in_.size() - at_) / sizeof(T)) return false;
    values.resize(static_cast<std::size_t>(count));
    return bytes(values.data(), values.size() * sizeof(T));
  }

 private:
  std::string_view in_;
  std::size_t at_ = 0;
};

}  // namespace

std::string encodeAnswer(const ReadResult& result) {
  Writer out;
  out.value<std::uint8_t>(static_cast<std::uint8_t>(result.status));
  out.text(result.message);
  out.value<std::uint64_t>(result.model.meshes.size());
  for (const ImportedMesh& mesh : result.model.meshes) {
    out.text(mesh.name);
    out.value<std::uint8_t>(mesh.hasLightmapSet ? 1 : 0);
    out.value<std::uint32_t>(mesh.uvSets);
    out.value<std::uint64_t>(mesh.vertices.size());
    out.bytes(mesh.vertices.data(), mesh.vertices.size() * sizeof(Vertex));
    out.value<std::uint64_t>(mesh.triangles.size());
    out.bytes(mesh.triangles.data(), mesh.triangles.size() * sizeof(std::uint32_t));
  }
  return out.data();
}

// Every count is checked against the bytes that came before memory is set
// aside for it, and every index against its vertices: an answer cut short or
// garbled (a child that died writing it, or worse) is refused, not trusted.
bool decodeAnswer(std::string_view bytes, ReadResult& result) {
  // The fewest bytes a mesh takes: an empty name and empty arrays.
  constexpr std::uint64_t kSmallestMesh = 8 + 1 + 4 + 8 + 8;
  Reader in(bytes);
  std::uint8_t status = 0;
  std::uint64_t meshes = 0;
  if (!in.value(status) || status > static_cast<std::uint8_t>(ReadStatus::NoTriangles) || !in.text(result.message) ||
      !in.value(meshes) || meshes > in.left() / kSmallestMesh) {
    return false;
  }
  result.status = static_cast<ReadStatus>(status);
  result.model.meshes.reserve(static_cast<std::size_t>(meshes));
  for (std::uint64_t m = 0; m < meshes; ++m) {
    ImportedMesh& mesh = result.model.meshes.emplace_back();
    std::uint8_t hasSet = 0;
    if (!in.text(mesh.name) || !in.value(hasSet) || hasSet > 1 || !in.value(mesh.uvSets) ||
        !in.array(mesh.vertices) || !in.array(mesh.triangles) || mesh.triangles.size() % 3 != 0) {
      return false;
    }
    for (const std::uint32_t index : mesh.triangles) {
      if (index >= mesh.vertices.size()) return false;
    }
    mesh.hasLightmapSet = hasSet != 0;
  }
  return in.left() == 0;
}

namespace {

bool writeAll(int descriptor, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(descriptor, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// The address space the process has mapped, from /proc/self/statm.
std::uint64_t addressSpaceInUse() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  unsigned long long pages = 0;
  const bool read = std::fscanf(statm, "%llu", &pages) == 1;
  std::fclose(statm);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  return read && pageSize > 0 ? pages * static_cast<std::uint64_t>(pageSize) : 0;
}

[[noreturn]] void runChild(int descriptor, int messages, const std::string& path, unsigned lightmapSet,
                           const IsolationLimits& limits) {
  if (limits.memoryBytes > 0) {
    // On top of what the process has mapped already (a sanitizer's shadow
    // memory among it), so the limit is what reading the model may add.
    const std::uint64_t cap = addressSpaceInUse() + limits.memoryBytes;
    const rlimit limit = {static_cast<rlim_t>(cap), static_cast<rlim_t>(cap)};
    setrlimit(RLIMIT_AS, &limit);
  }
  // A crash of the import library must not leave a core dump behind.
  const rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  // What the import library prints (its failed assertions) becomes part of the reason.
  dup2(messages, STDERR_FILENO);
  dup2(messages, STDOUT_FILENO);
  int code = kChildRead;
  try {
    const ReadResult result = readModel(path, lightmapSet);
    if (result.status == ReadStatus::Unreadable) code = kChildUnreadable;
    // The import library catches running out of memory itself, and says so.
    if (code == kChildUnreadable && result.message.find("bad_alloc") != std::string::npos) {
      code = kChildOutOfMemory;
    } else if (!writeAll(descriptor, encodeAnswer(result))) {
      code = kChildUnreadable;
    }
  } catch (const std::bad_alloc&) {
    code = kChildOutOfMemory;
  } catch (const std::exception& error) {
    ReadResult failure;
    failure.status = ReadStatus::Unreadable;
    failure.message = error.what();
    writeAll(descriptor, encodeAnswer(failure));
    code = kChildUnreadable;
  }
  _exit(code);
}

// The last line the import library printed, briefly.
std::string lastLine(const std::string& printed) {
  std::size_t end = printed.find_last_not_of("\r\n");
  if (end == std::string::npos) return "";
  const std::size_t begin = printed.find_last_of('\n', end);
  std::string line = printed.substr(begin == std::string::npos ? 0 : begin + 1, end - (begin == std::string::npos ? 0 : begin + 1) + 1);
  if (line.size() > 200) line = line.substr(0, 200) + "...";
  return line;
}

std::string megabytes(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MB"; }

ReadResult unreadable(std::string message) {
  ReadResult result;
  result.status = ReadStatus::Unreadable;
  result.message = std::move(message);
  return result;
}

}  // namespace

std::uint64_t defaultMemoryLimit() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  const std::uint64_t physical = pages > 0 && pageSize > 0 ? std::uint64_t(pages) * std::uint64_t(pageSize) : 0;
  return std::max<std::uint64_t>(physical / 8, std::uint64_t{1} << 30);
}

namespace {

// The child reading the model, for the signal handler below; 0 when none.
volatile sig_atomic_t childBeingRead = 0;

// SIGINT, SIGTERM or SIGHUP while the child reads: it is killed and reaped
// first, then the signal ends this process as it would have (the shell sees
// 128 + the signal). Nothing has been written yet at this stage.
extern "C" void endTogetherWithTheChild(int signalNumber) {
  const pid_t child = childBeingRead;
  if (child > 0) {
    kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  raise(signalNumber);  // the handler was reset to the default on entry
}

// Holds the handlers in place while a child reads the model.
class ChildEndsWithUs {
 public:
  explicit ChildEndsWithUs(pid_t child) {
    childBeingRead = child;
    struct sigaction action {};
    action.sa_handler = endTogetherWithTheChild;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (std::size_t k = 0; k < kSignals.size(); ++k) sigaction(kSignals[k], &action, &previous_[k]);
  }
  ~ChildEndsWithUs() {
    for (std::size_t k = 0; k < kSignals.size(); ++k) sigaction(kSignals[k], &previous_[k], nullptr);
    childBeingRead = 0;
  }
  ChildEndsWithUs(const ChildEndsWithUs&) = delete;
  ChildEndsWithUs& operator=(const ChildEndsWithUs&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> previous_{};
};

// What came back from the child: its answer, the end of what it printed,
// and whether it ran out of time.
struct ChildOutput {
  std::string answer;
  std::string printed;
  bool timedOut = false;
};

// Takes the answer and the messages as they come (a full pipe would stop the
// child), until the child closes both or the time is up.
ChildOutput collectOutput(int answerPipe, int messagePipe, unsigned seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  constexpr std::size_t kPrintedKept = 1 << 16;
  ChildOutput output;
  std::vector<char> chunk(1 << 16);
  pollfd sources[2] = {{answerPipe, POLLIN, 0}, {messagePipe, POLLIN, 0}};
  while (sources[0].fd >= 0 || sources[1].fd >= 0) {
    int wait = -1;
    if (seconds > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        output.timedOut = true;
        break;
      }
      wait = static_cast<int>(std::min<long long>(left.count(), 1000));
    }
    const int polled = poll(sources, 2, wait);
    if (polled <= 0) continue;  // interrupted, or no news within the wait
    for (int k = 0; k < 2; ++k) {
      if (sources[k].fd < 0 || sources[k].revents == 0) continue;
      const ssize_t got = read(sources[k].fd, chunk.data(), chunk.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        close(sources[k].fd);
        sources[k].fd = -1;
        continue;
      }
      std::string& into = k == 0 ? output.answer : output.printed;
      into.append(chunk.data(), static_cast<std::size_t>(got));
      if (k == 1 && output.printed.size() > kPrintedKept) output.printed.erase(0, output.printed.size() - kPrintedKept);
    }
  }
  for (const pollfd& source : sources) {
    if (source.fd >= 0) close(source.fd);
  }
  return output;
}

// The result, from how the child ended and what it sent.
ReadResult judge(int status, const ChildOutput& output, const IsolationLimits& limits) {
  if (output.timedOut) return unreadable("reading the model took more than " + std::to_string(limits.seconds) + " s");
  const std::string said = lastLine(output.printed);
  if (WIFSIGNALED(status)) {
    const int signalNumber = WTERMSIG(status);
    std::string reason = "the import library failed (signal " + std::to_string(signalNumber) + ", " +
                         strsignal(signalNumber) + ")";
    if (!said.empty()) {
      reason += ": " + said;
    } else if (limits.memoryBytes > 0 && signalNumber != SIGABRT) {
      // Out of address space, C code may crash rather than report it.
      reason += "; if the model is large, it may need more memory than " + megabytes(limits.memoryBytes);
    }
    return unreadable(reason);
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == kChildOutOfMemory) return unreadable("the model needs more memory than " + megabytes(limits.memoryBytes));
  if (output.answer.empty()) {
    return unreadable(said.empty() ? "the import library failed without an answer" : "the import library failed: " + said);
  }
  ReadResult result;
  if (!decodeAnswer(output.answer, result)) return unreadable("the import library gave an unreadable answer");
  if (code == kChildUnreadable) {
    result.status = ReadStatus::Unreadable;
    result.model.meshes.clear();
    if (result.message.empty()) result.message = "the import library failed";
    return result;
  }
  if (code != kChildRead) return unreadable("the import library ended with code " + std::to_string(code));
  return result;
}

}  // namespace

ReadResult readModelIsolated(const std::string& path, unsigned lightmapSet, const IsolationLimits& limits) {
  int channel[2];
  int messages[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return unreadable("cannot start reading the model");
  if (pipe2(messages, O_CLOEXEC) != 0) {
    close(channel[0]);
    close(channel[1]);
    return unreadable("cannot start reading the model");
  }
  std::fflush(nullptr);  // nothing buffered may be written twice
  // The stop signals wait until the handler that ends the child with us is
  // in place: one arriving between fork() and then would end this process
  // alone, leaving the child to be reaped by whoever adopts it.
  sigset_t stopSignals, previousMask;
  sigemptyset(&stopSignals);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signalNumber);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    for (int descriptor : {channel[0], channel[1], messages[0], messages[1]}) close(descriptor);
    return unreadable("cannot start reading the model");
  }
  if (child == 0) {
    // The child dies with this process, however this process ends; if that
    // happened before the line below, it is already an orphan.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(kChildUnreadable);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    close(channel[0]);
    close(messages[0]);
    runChild(channel[1], messages[1], path, lightmapSet, limits);
  }
  const ChildEndsWithUs together(child);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  close(channel[1]);
  close(messages[1]);
  const ChildOutput output = collectOutput(channel[0], messages[0], limits.seconds);
  if (output.timedOut) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return judge(status, output, limits);
}

}  // namespace lumivex
