#include "run_sequence.h"

#include <lumivex/lumivex.h>

#include <new>

#include "command_line.h"
#include "console.h"

namespace lumivex {

namespace {

int stopWithError(const std::string& errorText, int exitCode) {
  endOpenLine();
  printText(errorText);
  printUsage();
  return exitCode;
}

int notEnoughMemory() { return stopWithError("Error : Not enough memory\r\n", kExitCannotComplete); }

int convert(const RunRequest& request) {
  // The file is checked whole ("Loaded . "), then its first group sampled
  // while it is read.
  LoadOptions loadOptions;
  loadOptions.opened = [] { printText("Opened . "); };
  loadOptions.loaded = [] { printText("Loaded . "); };
  SampleGrid grid;
  const Result sampled = sampleMeshFile(request.inputFileName.c_str(), request.size, grid, loadOptions);
  switch (sampled.status) {
    case Status::Ok:
      break;
    case Status::CannotOpen:
      return stopWithError("Error : Unable to open input file : " + request.inputFileName + "\r\n", kExitBadInput);
    case Status::Damaged:
    case Status::ReadError:  // a read that failed part-way
      return stopWithError(
          "Error : Damaged input file : " + request.inputFileName + " (" + reason(sampled) + ")\r\n", kExitBadInput);
    default:
      return notEnoughMemory();
  }
  printText("Converted . ");

  const Result written = writeSamplesFile(request.outputFileName.c_str(), grid);
  if (written.status == Status::OutOfMemory) return notEnoughMemory();
  if (!written) {
    return stopWithError("Error : Unable to write output file : " + request.outputFileName + "\r\n",
                         kExitCannotComplete);
  }
  printText("Saved . \r\n");
  return kExitSuccess;
}

}  // namespace

int runLumivex(int argumentCount, const char* const* arguments) {
  try {
    StartResult start = startRun(argumentCount, arguments);
    if (!start.request) return start.exitCode;
    return convert(*start.request);  // the log file closes with the request
  } catch (const std::bad_alloc&) {
    return notEnoughMemory();
  }
}

}  // namespace lumivex
