// lumivex-import MODEL OUTPUTNAME [options]
// Converts a model (glTF, FBX, OBJ, Collada, PLY, 3DS, ...) into OUTPUTNAME.kvx
// for lumivex, and warns about the faults of its lightmap layout.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/arguments.h"
#include "common/process_setup.h"
#include "isolated_reading.h"
#include "layout_check.h"
#include "lightmap_uv_generation.h"
#include "mesh_building.h"
#include "output/atomic_file.h"

namespace {

constexpr int kExitUsage = 1;
constexpr int kExitUnreadable = 2;
constexpr int kExitNoTriangles = 3;
constexpr int kExitMissingUvSet = 4;
constexpr int kExitCannotWrite = 5;

constexpr const char* kUsage =
    "Usage : lumivex-import MODEL OUTPUTNAME [options]\n"
    "MODEL           : any model the Open Asset Import Library reads (glTF, FBX, OBJ, ...)\n"
    "OUTPUTNAME      : output mesh file WITHOUT extension (.kvx is appended)\n"
    "Options :\n"
    "--lightmap-uv N : the UV set holding the lightmap coordinates, 0 to 7 (default 1, the second)\n"
    "--skip-unmapped : leave out meshes without that UV set (default: refuse the model)\n"
    "--generate-lightmap-uv : make a lightmap layout for every mesh (with --lightmap-uv N:\n"
    "                  for the meshes without set N)\n"
    "--size N        : the lightmap size the layout is made for and checked at, 1 to 16384 (default 512)\n"
    "--padding P     : texels between generated charts and from the border, 0 to 64 (default 2)\n"
    "--report FILE   : also write the layout check per mesh as JSON to FILE\n"
    "--max-memory M  : memory the model may take while read, as 800M, 4G, ... or 0 for no limit\n"
    "                  (default an eighth of the machine's memory, at least 1G)\n"
    "--timeout S     : seconds the model may take to read, 0 for no limit (default 60)\n"
    "-h, --help      : show this text\n"
    "--version       : show the version\n"
    "Exit codes : 0 written (warnings on standard error), 1 usage, 2 model unreadable (or no layout fits),\n"
    "             3 no triangles, 4 a mesh without the lightmap UV set, 5 output not written\n";

struct Settings {
  std::string model;
  std::string outputName;
  unsigned lightmapSet = 1;
  bool lightmapSetGiven = false;
  bool skipUnmapped = false;
  bool generate = false;
  std::int32_t padding = 2;
  std::int32_t size = 512;
  std::string reportFile;
  lumivex::IsolationLimits limits;
};

int refuse(const std::string& what) {
  lumivex::printArgumentRefusal(what, "lumivex-import", "lumivex-import MODEL OUTPUTNAME [options]");
  return kExitUsage;
}

// Reads the arguments; returns -1 to go on, or the exit code.
int readArguments(int argc, char** argv, Settings& settings) {
  settings.limits.memoryBytes = lumivex::defaultMemoryLimit();
  lumivex::ArgumentReader arguments(argc, argv);
  std::vector<std::string> names;
  while (!arguments.done()) {
    const std::string argument = arguments.next();
    if (!arguments.isOption()) {
      names.push_back(argument);
      continue;
    }
    const bool flag = argument == "-h" || argument == "--help" || argument == "--version" ||
                      argument == "--skip-unmapped" || argument == "--generate-lightmap-uv";
    if (flag && arguments.hasInlineValue()) return refuse("option " + argument + " takes no value");
    if (argument == "-h" || argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--version") {
      std::printf("lumivex-import %s\n", lumivex::version());
      return 0;
    }
    if (argument == "--skip-unmapped") {
      settings.skipUnmapped = true;
      continue;
    }
    if (argument == "--generate-lightmap-uv") {
      settings.generate = true;
      continue;
    }
    if (argument != "--lightmap-uv" && argument != "--size" && argument != "--report" &&
        argument != "--max-memory" && argument != "--timeout" && argument != "--padding") {
      return refuse("unknown option " + argument);
    }
    const std::optional<std::string> text = arguments.value();
    if (!text) return refuse("option " + argument + " needs a value");
    if (argument == "--lightmap-uv") {
      const auto set = lumivex::parseWholeNumber(*text, 0, 7);
      if (!set) return refuse("--lightmap-uv takes a UV set from 0 to 7, not \"" + *text + "\"");
      settings.lightmapSet = static_cast<unsigned>(*set);
      settings.lightmapSetGiven = true;
    } else if (argument == "--padding") {
      const auto padding = lumivex::parseWholeNumber(*text, 0, 64);
      if (!padding) return refuse("--padding takes texels from 0 to 64, not \"" + *text + "\"");
      settings.padding = static_cast<std::int32_t>(*padding);
    } else if (argument == "--size") {
      const auto size = lumivex::parseWholeNumber(*text, lumivex::kSmallestSize, lumivex::kLargestSize);
      if (!size) return refuse("--size takes a size from 1 to 16384, not \"" + *text + "\"");
      settings.size = static_cast<std::int32_t>(*size);
    } else if (argument == "--report") {
      if (text->empty()) return refuse("--report needs a file name");
      settings.reportFile = *text;
    } else if (argument == "--max-memory") {
      const auto bytes = lumivex::parseMemorySize(*text);
      if (!bytes) return refuse("--max-memory takes a size such as 800M or 4G, not \"" + *text + "\"");
      settings.limits.memoryBytes = *bytes;
    } else {
      const auto seconds = lumivex::parseWholeNumber(*text, 0, 86400);
      if (!seconds) return refuse("--timeout takes seconds from 0 to 86400, not \"" + *text + "\"");
      settings.limits.seconds = static_cast<unsigned>(*seconds);
    }
  }
  if (names.size() < 2) return refuse(names.empty() ? "MODEL and OUTPUTNAME are missing" : "OUTPUTNAME is missing");
  if (names.size() > 2) return refuse("unexpected argument \"" + names[2] + "\"");
  if (settings.generate && settings.skipUnmapped) {
    return refuse("--skip-unmapped leaves out what --generate-lightmap-uv would lay out; give one of them");
  }
  settings.model = names[0];
  settings.outputName = names[1];
  return -1;
}

struct NamedCount {
  std::string name;
  std::size_t count;
};

// "\"a\" (12), \"b\" (3), \"c\" (1) and 4 more": the worst few first.
std::string worstFew(std::vector<NamedCount> counts, bool showCounts = true) {
  std::stable_sort(counts.begin(), counts.end(),
                   [](const NamedCount& a, const NamedCount& b) { return a.count > b.count; });
  constexpr std::size_t kShown = 3;
  std::string text;
  for (std::size_t i = 0; i < counts.size() && i < kShown; ++i) {
    if (i > 0) text += ", ";
    text += "\"" + counts[i].name + "\"";
    if (showCounts) text += " (" + std::to_string(counts[i].count) + ")";
  }
  if (counts.size() > kShown) text += " and " + std::to_string(counts.size() - kShown) + " more";
  return text;
}

template <typename Field>
std::string meshesWith(const lumivex::LayoutReport& report, Field field) {
  std::vector<NamedCount> counts;
  for (const lumivex::MeshLayout& mesh : report.meshes) {
    if (mesh.*field > 0) counts.push_back({mesh.name, mesh.*field});
  }
  return worstFew(counts);
}

void warnAboutLayout(const lumivex::LayoutReport& report) {
  if (report.outside > 0) {
    std::fprintf(stderr, "Warning : %zu triangles have lightmap UVs outside [0, 1] : %s\n", report.outside,
                 meshesWith(report, &lumivex::MeshLayout::outside).c_str());
  }
  if (report.zeroArea > 0) {
    std::fprintf(stderr, "Warning : %zu triangles have no lightmap area and will not be sampled : %s\n",
                 report.zeroArea, meshesWith(report, &lumivex::MeshLayout::zeroArea).c_str());
  }
  if (report.overlappedTexels > 0) {
    std::fprintf(stderr,
                 "Warning : %zu texels at size %d lie inside two or more triangles (overlapping islands: only the "
                 "last gets the sample) : %s\n",
                 report.overlappedTexels, report.size, meshesWith(report, &lumivex::MeshLayout::overlapped).c_str());
  }
  if (report.unsampled > 0) {
    const std::string needed = report.sizeSamplingAll == lumivex::kNoSizeSamplesAll
                                   ? "none up to 16384"
                                   : std::to_string(report.sizeSamplingAll);
    std::fprintf(stderr,
                 "Warning : %zu triangles cover no texel corner at size %d and get no sample (%.2f %% of the surface) "
                 ": %s; smallest size sampling them all : %s\n",
                 report.unsampled, report.size,
                 report.surfaceArea > 0 ? 100.0 * report.unsampledArea / report.surfaceArea : 0.0,
                 meshesWith(report, &lumivex::MeshLayout::unsampled).c_str(), needed.c_str());
  }
}

// Normals that give samples no direction are replaced, with one warning.
void warnAboutRepairedNormals(std::vector<lumivex::ImportedMesh>& meshes) {
  std::vector<NamedCount> repaired;
  std::size_t vertices = 0;
  for (lumivex::ImportedMesh& mesh : meshes) {
    const std::size_t count = lumivex::repairNormals(mesh);
    if (count > 0) repaired.push_back({lumivex::writtenName(mesh), count});
    vertices += count;
  }
  if (vertices > 0) {
    std::fprintf(stderr,
                 "Warning : %zu vertices have zero, non-finite or far from unit normals; smooth normals computed "
                 "instead : %s\n",
                 vertices, worstFew(repaired).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  lumivex::prepareProcess();
  Settings settings;
  if (const int code = readArguments(argc, argv, settings); code >= 0) return code;

  std::printf("Reading %s\n", settings.model.c_str());
  std::fflush(stdout);
  lumivex::ReadResult read = lumivex::readModelIsolated(settings.model, settings.lightmapSet, settings.limits);
  if (read.status == lumivex::ReadStatus::Unreadable) {
    std::fprintf(stderr, "Error : Unable to read model %s : %s\n", settings.model.c_str(), read.message.c_str());
    return kExitUnreadable;
  }
  std::vector<lumivex::ImportedMesh>& meshes = read.model.meshes;
  if (read.status == lumivex::ReadStatus::NoTriangles || meshes.empty()) {
    std::fprintf(stderr, "Error : No triangles in %s%s%s\n", settings.model.c_str(), read.message.empty() ? "" : " : ",
                 read.message.c_str());
    return kExitNoTriangles;
  }
  warnAboutRepairedNormals(meshes);

  // The running share only where someone watches it: a log gets no '\r' lines.
  const bool showProgress = isatty(STDOUT_FILENO) != 0;
  bool progressShown = false;
  auto progressFor = [&](const char* what) {
    std::function<void(double)> progress;
    if (showProgress) {
      progress = [what, &progressShown](double share) {
        std::printf("\r%s : %3d %%", what, static_cast<int>(share * 100));
        std::fflush(stdout);
        progressShown = true;
      };
    }
    return progress;
  };
  auto endProgress = [&]() {
    if (progressShown) std::printf("\n");
    progressShown = false;
  };

  // Generated layouts: for every mesh, or for those without the set asked for.
  if (settings.generate) {
    std::vector<lumivex::ImportedMesh*> laidOut;
    std::vector<const lumivex::ImportedMesh*> kept;
    for (lumivex::ImportedMesh& mesh : meshes) {
      if (!settings.lightmapSetGiven || !mesh.hasLightmapSet) {
        laidOut.push_back(&mesh);
      } else {
        kept.push_back(&mesh);
      }
    }
    lumivex::UvGenerationOptions generation;
    generation.size = settings.size;
    generation.padding = settings.padding;
    generation.progress = progressFor("Generating lightmap UVs");
    const lumivex::UvGenerationResult generated = lumivex::generateLightmapUvs(laidOut, generation, kept);
    endProgress();
    if (!laidOut.empty() && !generated.generated) {
      std::fprintf(stderr, "Error : Unable to lay out %s : %s; try a larger --size or a smaller --padding\n",
                   settings.model.c_str(), generated.problem.c_str());
      return kExitUnreadable;
    }
    if (!laidOut.empty()) {
      std::printf("Generated lightmap UVs : %zu charts for %zu meshes, %.1f %% of the square\n", generated.charts,
                  laidOut.size(), 100.0 * generated.coveredShare);
    }
  }

  // Meshes without the lightmap set: refused, or left out when asked.
  std::vector<NamedCount> unmapped;
  for (const lumivex::ImportedMesh& mesh : meshes) {
    if (!mesh.hasLightmapSet) unmapped.push_back({lumivex::writtenName(mesh), mesh.uvSets});
  }
  const std::string set = std::to_string(settings.lightmapSet);
  if (!unmapped.empty() && !settings.skipUnmapped) {
    const std::string which =
        unmapped.size() == 1
            ? "mesh \"" + unmapped[0].name + "\" has no UV set " + set + " (it has " +
                  std::to_string(unmapped[0].count) + ")"
            : std::to_string(unmapped.size()) + " meshes have no UV set " + set + " : " + worstFew(unmapped, false);
    std::fprintf(stderr,
                 "Error : Missing lightmap UV set : %s; pick another with --lightmap-uv, or leave such meshes out "
                 "with --skip-unmapped\n",
                 which.c_str());
    return kExitMissingUvSet;
  }
  if (!unmapped.empty()) {
    std::fprintf(stderr, "Warning : %zu meshes without UV set %s left out : %s\n", unmapped.size(), set.c_str(),
                 worstFew(unmapped, false).c_str());
    std::erase_if(meshes, [](const lumivex::ImportedMesh& mesh) { return !mesh.hasLightmapSet; });
    if (meshes.empty()) {
      std::fprintf(stderr, "Error : No triangles in %s : no mesh has UV set %s\n", settings.model.c_str(),
                   set.c_str());
      return kExitNoTriangles;
    }
  }

  std::vector<lumivex::LayoutMesh> layoutMeshes;
  for (lumivex::ImportedMesh& mesh : meshes) {
    lumivex::joinIdenticalVertices(mesh);
    layoutMeshes.push_back({lumivex::writtenName(mesh), &mesh.vertices, &mesh.triangles});
  }
  const lumivex::LayoutReport report =
      lumivex::checkLayout(layoutMeshes, settings.size, progressFor("Checking the lightmap layout"));
  endProgress();

  std::vector<lumivex::MeshToWrite> parts;
  for (const lumivex::ImportedMesh& mesh : meshes) lumivex::appendMeshParts(mesh, parts);
  const std::string outputName = settings.outputName + ".kvx";
  if (!lumivex::writeMeshFile(outputName, parts)) {
    std::fprintf(stderr, "Error : Unable to write output file : %s\n", outputName.c_str());
    return kExitCannotWrite;
  }
  std::printf("Wrote %s : %zu triangles in %zu meshes\n", outputName.c_str(), report.triangles, parts.size());
  if (!settings.reportFile.empty()) {
    const std::string json = lumivex::layoutReportJson(report, settings.model);
    const bool written = lumivex::writeFileAtomically(settings.reportFile, [&json](std::FILE* file) {
      return std::fwrite(json.data(), 1, json.size(), file) == json.size();
    });
    if (!written) {
      std::fprintf(stderr, "Error : Unable to write report file : %s\n", settings.reportFile.c_str());
      return kExitCannotWrite;
    }
    std::printf("Wrote %s\n", settings.reportFile.c_str());
  }
  std::fflush(stdout);
  warnAboutLayout(report);
  return 0;
}
