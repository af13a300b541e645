#include "command_line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "console.h"

namespace lumivex {

LogFile::LogFile(const char* name) {
  const int descriptor = open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (descriptor < 0) return;
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || ftruncate(descriptor, 0) != 0) {
    close(descriptor);
    return;
  }
  descriptor_ = descriptor;
}

LogFile::~LogFile() {
  if (descriptor_ >= 0) close(descriptor_);
}

LogFile& LogFile::operator=(LogFile&& other) noexcept {
  std::swap(descriptor_, other.descriptor_);
  return *this;
}

std::optional<std::int32_t> lightmapSizeFromKeyword(std::string_view keyword) {
  if (keyword == "small") return 128;
  if (keyword == "medium") return 256;
  if (keyword == "large") return 512;
  return std::nullopt;
}

StartResult startRun(int argumentCount, const char* const* arguments) {
  printText("Lumivex 1.0 : lightmap sample point generator\r\n");

  // The log file is created (or emptied) and kept open but never written;
  // when it cannot be created the run goes on silently.
  LogFile logFile("lumivex.log");

  StartResult result;
  if (argumentCount < 3) {
    printText("Error : Inscufficient parameters.\r\n");
    printUsage();
    result.exitCode = kExitTooFewArguments;
    return result;  // closes the log file
  }

  const std::optional<std::int32_t> size = lightmapSizeFromKeyword(arguments[1]);
  if (!size) {
    printText("Error : Invalid size specifier use either : small, medium or large\r\n");
    printUsage();
    result.exitCode = kExitBadInput;
    return result;
  }

  // Names are used exactly as typed; the default output name is the input
  // name before its extension is appended. Arguments after the third are ignored.
  const std::string inputName = arguments[2];
  const std::string outputName = argumentCount > 3 ? std::string(arguments[3]) : inputName;

  RunRequest request;
  request.size = *size;
  request.inputFileName = inputName + ".kvx";
  request.outputFileName = outputName + ".samples";
  request.logFile = std::move(logFile);

  printText("Input  : " + request.inputFileName + "\r\n");
  printText("Output : " + request.outputFileName + "\r\n");

  result.request = std::move(request);
  return result;
}

}  // namespace lumivex
