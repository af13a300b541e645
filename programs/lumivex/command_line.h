#pragma once
// The command line: `lumivex size inputname [outputname]`.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>


namespace lumivex {

// Exit codes of the tool.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitTooFewArguments = 101;
inline constexpr int kExitBadInput = 102;         // invalid size, unreadable or damaged input
inline constexpr int kExitCannotComplete = 103;   // output not written, out of memory

// "lumivex.log": created or emptied at the start of the run and held open,
// never written, until the run ends. Only a regular file is used: a symbolic
// link is not followed and a FIFO or device does not block the run; those,
// like a log that cannot be created, are passed over silently.
class LogFile {
 public:
  LogFile() = default;
  explicit LogFile(const char* name);
  ~LogFile();
  LogFile(LogFile&& other) noexcept : descriptor_(other.descriptor_) { other.descriptor_ = -1; }
  LogFile& operator=(LogFile&& other) noexcept;
  bool isOpen() const { return descriptor_ >= 0; }

 private:
  int descriptor_ = -1;
};

// What the command-line stage hands to the run sequence.
struct RunRequest {
  std::int32_t size = 0;   // 128, 256 or 512
  std::string inputFileName;   // inputname + ".kvx"
  std::string outputFileName;  // outputname (or inputname) + ".samples"
  LogFile logFile;             // "lumivex.log", open until the run ends
};

struct StartResult {
  std::optional<RunRequest> request;  // set when the run goes on
  int exitCode = kExitSuccess;        // meaningful when request is empty
};

// "small", "medium", "large", compared case-sensitively and whole.
std::optional<std::int32_t> lightmapSizeFromKeyword(std::string_view keyword);

// Prints the banner, creates the empty log file, checks the arguments and
// either returns the request (after the Input and Output lines) or an exit
// code (after the error text and the usage text, with the log file closed).
StartResult startRun(int argumentCount, const char* const* arguments);

}  // namespace lumivex
