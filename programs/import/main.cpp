// lumivex-import MODEL OUTPUTNAME [--lightmap-uv N]
// Converts a model (glTF, FBX, OBJ, Collada, PLY, 3DS, ...) into OUTPUTNAME.kvx
// for lumivex, and warns about faults of its lightmap layout.

#include <cstdio>

#include "common/process_setup.h"
#include <cstdlib>
#include <string>
#include <vector>

#include "model_import.h"

namespace {

constexpr int kExitUsage = 1;
constexpr int kExitUnreadable = 2;
constexpr int kExitNoTriangles = 3;
constexpr int kExitMissingUvSet = 4;
constexpr int kExitCannotWrite = 5;

int usage() {
  std::fputs(
      "Usage : lumivex-import MODEL OUTPUTNAME [--lightmap-uv N]\n"
      "MODEL         : any model the Open Asset Import Library reads (glTF, FBX, OBJ, ...)\n"
      "OUTPUTNAME    : output mesh file WITHOUT extension (.kvx is appended)\n"
      "--lightmap-uv : the UV set holding the lightmap coordinates (default 1, the second)\n",
      stderr);
  return kExitUsage;
}

bool parseSet(const std::string& text, unsigned& set) {
  if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  set = static_cast<unsigned>(std::stoul(text));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  lumivex::prepareProcess();
  std::vector<std::string> names;
  lumivex::ImportOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--lightmap-uv") {
      if (i + 1 >= argc || !parseSet(argv[i + 1], options.lightmapUvSet)) return usage();
      ++i;
    } else if (argument.rfind("--", 0) == 0) {
      return usage();
    } else {
      names.push_back(argument);
    }
  }
  if (names.size() != 2) return usage();

  bool progressShown = false;
  options.progress = [&progressShown](double share) {
    std::printf("\rChecking the lightmap layout : %3d %%", static_cast<int>(share * 100));
    std::fflush(stdout);
    progressShown = true;
  };
  std::printf("Reading %s\n", names[0].c_str());
  std::fflush(stdout);
  const lumivex::ImportResult result = lumivex::importModel(names[0], options);
  if (progressShown) std::printf("\rChecking the lightmap layout : 100 %%\n");

  switch (result.status) {
    case lumivex::ImportStatus::Unreadable:
      std::fprintf(stderr, "Error : Unable to read model %s : %s\n", names[0].c_str(), result.message.c_str());
      return kExitUnreadable;
    case lumivex::ImportStatus::NoTriangles:
      std::fprintf(stderr, "Error : No triangles in %s\n", names[0].c_str());
      return kExitNoTriangles;
    case lumivex::ImportStatus::MissingUvSet:
      std::fprintf(stderr, "Error : Missing lightmap UV set : %s\n", result.message.c_str());
      return kExitMissingUvSet;
    case lumivex::ImportStatus::Imported:
      break;
  }

  const std::string outputName = names[1] + ".kvx";
  if (!lumivex::writeMeshFile(outputName, result.meshes)) {
    std::fprintf(stderr, "Error : Unable to write output file : %s\n", outputName.c_str());
    return kExitCannotWrite;
  }
  const lumivex::LightmapReport& report = result.report;
  std::printf("Wrote %s : %zu triangles in %zu meshes\n", outputName.c_str(), report.triangles,
              result.meshes.size());
  if (report.trianglesOutsideUnitSquare > 0) {
    std::fprintf(stderr, "Warning : %zu triangles have lightmap UVs outside [0, 1]\n",
                 report.trianglesOutsideUnitSquare);
  }
  if (report.zeroAreaTriangles > 0) {
    std::fprintf(stderr, "Warning : %zu triangles have no lightmap area and will not be sampled\n",
                 report.zeroAreaTriangles);
  }
  if (report.overlappingTexels > 0) {
    std::fprintf(stderr, "Warning : %zu texels at size 512 are claimed by overlapping triangles\n",
                 report.overlappingTexels);
  }
  return 0;
}
