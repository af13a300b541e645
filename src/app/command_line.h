#pragma once
// The command line: `lumivex size inputname [outputname]`.

#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "output/sample_grid.h"

namespace lumivex {

// Exit codes of the tool.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitTooFewArguments = 101;
inline constexpr int kExitBadInput = 102;         // invalid size, unreadable or damaged input
inline constexpr int kExitCannotComplete = 103;   // output not written, out of memory

// What the command-line stage hands to the run sequence.
struct RunRequest {
  LightmapSize size = 0;
  std::string inputFileName;   // inputname + ".kvx"
  std::string outputFileName;  // outputname (or inputname) + ".samples"
  std::ofstream logFile;       // "lumivex.log", open until the run ends
};

struct StartResult {
  std::optional<RunRequest> request;  // set when the run goes on
  int exitCode = kExitSuccess;        // meaningful when request is empty
};

// "small", "medium", "large", compared case-sensitively and whole.
std::optional<LightmapSize> lightmapSizeFromKeyword(std::string_view keyword);

// Prints the banner, creates the empty log file, checks the arguments and
// either returns the request (after the Input and Output lines) or an exit
// code (after the error text and the usage text, with the log file closed).
StartResult startRun(int argumentCount, const char* const* arguments);

}  // namespace lumivex
