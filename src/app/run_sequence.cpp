#include "app/run_sequence.h"

#include <new>

#include "app/command_line.h"
#include "app/console.h"
#include "mesh/mesh_set.h"
#include "output/sample_grid.h"
#include "sampling/rasteriser.h"

namespace lumivex {

namespace {

int stopWithError(const std::string& errorText, int exitCode) {
  endOpenLine();
  printText(errorText);
  printUsage();
  return exitCode;
}

int convert(const RunRequest& request) {
  MeshSet meshSet;
  const LoadOutcome loaded = meshSet.load(request.inputFileName);
  if (loaded.status == LoadStatus::CannotOpen) {
    return stopWithError("Error : Unable to open input file : " + request.inputFileName + "\r\n",
                         kExitBadInput);
  }
  if (loaded.status == LoadStatus::Damaged) {
    return stopWithError(
        "Error : Damaged input file : " + request.inputFileName + " (" + loaded.reason() + ")\r\n",
        kExitBadInput);
  }

  SampleGrid grid = makeSampleGrid(request.size);
  // Only the first group is sampled.
  if (meshSet.groupCount > 0) {
    rasteriseMeshes(meshSet.groups.front().meshes, request.size, grid);
  }
  printText("Converted . ");

  if (!writeSamplesFile(request.outputFileName, grid)) {
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
    return stopWithError("Error : Not enough memory\r\n", kExitCannotComplete);
  }
}

}  // namespace lumivex
