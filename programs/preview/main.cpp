// lumivex-preview SAMPLESFILE PREFIX [--rows-down]
// Checks a samples file, prints a summary and draws PREFIX-normal.png,
// PREFIX-position.png and PREFIX-coverage.png.

#include <cstdio>
#include <string>
#include <vector>

#include "common/arguments.h"
#include "common/process_setup.h"
#include "samples_preview.h"

namespace {

constexpr const char* kUsage =
    "Usage : lumivex-preview SAMPLESFILE PREFIX [--rows-down]\n"
    "SAMPLESFILE : a samples file written by lumivex (with its extension)\n"
    "PREFIX      : images are written as PREFIX-normal.png, PREFIX-position.png, PREFIX-coverage.png\n"
    "--rows-down : draw texel row 0 (lightmap v = 0) at the top, in the file's order\n"
    "              (default: at the bottom, as UV editors show a layout)\n"
    "-h, --help  : show this text\n"
    "--version   : show the version\n"
    "Exit codes : 0 images written, 1 usage, 2 not a samples file, 3 an image not written\n";

int refuse(const std::string& what) {
  lumivex::printArgumentRefusal(what, "lumivex-preview", "lumivex-preview SAMPLESFILE PREFIX [--rows-down]");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  lumivex::prepareProcess();
  lumivex::ArgumentReader arguments(argc, argv);
  std::vector<std::string> names;
  lumivex::RowOrder order = lumivex::RowOrder::Up;
  while (!arguments.done()) {
    const std::string argument = arguments.next();
    if (!arguments.isOption()) {
      names.push_back(argument);
      continue;
    }
    if (arguments.hasInlineValue()) return refuse("option " + argument + " takes no value");
    if (argument == "-h" || argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--version") {
      std::printf("lumivex-preview %s\n", lumivex::version());
      return 0;
    }
    if (argument != "--rows-down") return refuse("unknown option " + argument);
    order = lumivex::RowOrder::Down;
  }
  if (names.size() < 2) return refuse(names.empty() ? "SAMPLESFILE and PREFIX are missing" : "PREFIX is missing");
  if (names.size() > 2) return refuse("unexpected argument \"" + names[2] + "\"");
  const std::string& samplesFile = names[0];
  const std::string& prefix = names[1];

  lumivex::SampleGrid grid;
  const lumivex::Result read = lumivex::readSamplesFile(samplesFile.c_str(), grid);
  if (!read) {
    std::fprintf(stderr, "Error : Invalid samples file %s : %s\n", samplesFile.c_str(), lumivex::reason(read).c_str());
    return 2;
  }
  const lumivex::SamplesSummary summary = lumivex::summarise(grid);
  std::printf("Size          : %d x %d\n", grid.width(), grid.height());
  std::printf("Covered       : %zu of %zu texels (%.1f %%)\n", summary.covered, summary.texels,
              100.0 * static_cast<double>(summary.covered) / static_cast<double>(summary.texels));
  std::printf("Positions     : (%g, %g, %g) to (%g, %g, %g)\n", summary.minimum.x, summary.minimum.y,
              summary.minimum.z, summary.maximum.x, summary.maximum.y, summary.maximum.z);
  std::printf("Not unit      : %zu covered texels have a normal not of unit length\n", summary.notUnitNormals);
  std::printf("Non-finite    : %zu covered texels hold an infinity or a NaN\n", summary.nonFinite);
  const std::string failed = lumivex::writePreviewImages(grid, summary, prefix, order);
  if (!failed.empty()) {
    std::fprintf(stderr, "Error : Unable to write image : %s\n", failed.c_str());
    return 3;
  }
  std::printf("Images        : %s-normal.png, %s-position.png, %s-coverage.png (v = 0 at the %s)\n", prefix.c_str(),
              prefix.c_str(), prefix.c_str(), order == lumivex::RowOrder::Up ? "bottom" : "top");
  return 0;
}
