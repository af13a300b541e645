#include "app/command_line.h"

#include "app/console.h"

namespace lumivex {

std::optional<LightmapSize> lightmapSizeFromKeyword(std::string_view keyword) {
  if (keyword == "small") return 128;
  if (keyword == "medium") return 256;
  if (keyword == "large") return 512;
  return std::nullopt;
}

StartResult startRun(int argumentCount, const char* const* arguments) {
  printText("Lumivex 1.0 : lightmap sample point generator\r\n");

  // The log file is created (or emptied) and kept open but never written;
  // when it cannot be created the run goes on silently.
  std::ofstream logFile("lumivex.log", std::ios::out | std::ios::trunc);

  StartResult result;
  if (argumentCount < 3) {
    printText("Error : Inscufficient parameters.\r\n");
    printUsage();
    result.exitCode = kExitTooFewArguments;
    return result;  // closes the log file
  }

  const std::optional<LightmapSize> size = lightmapSizeFromKeyword(arguments[1]);
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
