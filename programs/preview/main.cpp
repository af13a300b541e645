// lumivex-preview SAMPLESFILE PREFIX
// Checks a samples file, prints a summary and draws PREFIX-normal.png,
// PREFIX-position.png and PREFIX-coverage.png.

#include <cstdio>

#include "common/process_setup.h"

#include "samples_preview.h"

int main(int argc, char** argv) {
  lumivex::prepareProcess();
  if (argc != 3) {
    std::fputs(
        "Usage : lumivex-preview SAMPLESFILE PREFIX\n"
        "SAMPLESFILE : a samples file written by lumivex (with its extension)\n"
        "PREFIX      : images are written as PREFIX-normal.png, PREFIX-position.png, PREFIX-coverage.png\n",
        stderr);
    return 1;
  }
  lumivex::SampleGrid grid;
  const lumivex::Result read = lumivex::readSamplesFile(argv[1], grid);
  if (!read) {
    std::fprintf(stderr, "Error : Invalid samples file %s : %s\n", argv[1], lumivex::reason(read).c_str());
    return 2;
  }
  const lumivex::SamplesSummary summary = lumivex::summarise(grid);
  std::printf("Size          : %d x %d\n", grid.size(), grid.size());
  std::printf("Covered       : %zu of %zu texels (%.1f %%)\n", summary.covered, summary.texels,
              100.0 * static_cast<double>(summary.covered) / static_cast<double>(summary.texels));
  std::printf("Positions     : (%g, %g, %g) to (%g, %g, %g)\n", summary.minimum.x, summary.minimum.y,
              summary.minimum.z, summary.maximum.x, summary.maximum.y, summary.maximum.z);
  std::printf("Not unit      : %zu covered texels have a normal not of unit length\n", summary.notUnitNormals);
  std::printf("Non-finite    : %zu covered texels hold an infinity or a NaN\n", summary.nonFinite);
  const std::string failed = lumivex::writePreviewImages(grid, summary, argv[2]);
  if (!failed.empty()) {
    std::fprintf(stderr, "Error : Unable to write image : %s\n", failed.c_str());
    return 3;
  }
  std::printf("Images        : %s-normal.png, %s-position.png, %s-coverage.png\n", argv[2], argv[2], argv[2]);
  return 0;
}
