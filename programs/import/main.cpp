// lumivex-import MODEL OUTPUTNAME [options]
// Converts a model (glTF, FBX, OBJ, Collada, PLY, 3DS, ...) into OUTPUTNAME.kvx
// for lumivex, and warns about the faults of its lightmap layout.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <lumivex/layout.h>

#include "common/arguments.h"
#include "common/process_setup.h"
#include "common/progress_line.h"
#include "isolated_reading.h"
#include "layout_report.h"
#include "mesh_building.h"

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
std::string meshesWith(const lumivex::LayoutReport& report, const std::vector<std::string>& names, Field field) {
  std::vector<NamedCount> counts;
  for (std::size_t m = 0; m < report.meshes.size(); ++m) {
    if (report.meshes[m].*field > 0) counts.push_back({names[m], report.meshes[m].*field});
  }
  return worstFew(counts);
}

void warnAboutLayout(const lumivex::LayoutReport& report, const std::vector<std::string>& names) {
  using lumivex::LayoutCounts;
  const LayoutCounts& total = report.total;
  if (total.outside > 0) {
    std::fprintf(stderr, "Warning : %zu triangles have lightmap UVs outside [0, 1] : %s\n", total.outside,
                 meshesWith(report, names, &LayoutCounts::outside).c_str());
  }
  if (total.zeroArea > 0) {
    std::fprintf(stderr, "Warning : %zu triangles have no lightmap area and will not be sampled : %s\n",
                 total.zeroArea, meshesWith(report, names, &LayoutCounts::zeroArea).c_str());
  }
  if (total.overlappedTexels > 0) {
    std::fprintf(stderr,
                 "Warning : %zu texels at size %d lie inside two or more triangles (overlapping islands: only the "
                 "last gets the sample) : %s\n",
                 total.overlappedTexels, report.size, meshesWith(report, names, &LayoutCounts::overlappedTexels).c_str());
  }
  if (total.unsampled > 0) {
    const std::string needed = report.sizeSamplingAll == 0 ? "none up to 16384" : std::to_string(report.sizeSamplingAll);
    std::fprintf(stderr,
                 "Warning : %zu triangles cover no texel corner at size %d and get no sample (%.2f %% of the surface) "
                 ": %s; smallest size sampling them all : %s\n",
                 total.unsampled, report.size, total.surfaceArea > 0 ? 100.0 * total.unsampledArea / total.surfaceArea : 0.0,
                 meshesWith(report, names, &LayoutCounts::unsampled).c_str(), needed.c_str());
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

// The meshes as the library takes them: 40-byte records and 32-bit indices.
lumivex::MeshArrays arraysOf(const lumivex::ImportedMesh& mesh) {
  lumivex::MeshArrays arrays;
  arrays.vertices = mesh.vertices;
  arrays.indices32 = mesh.triangles;
  return arrays;
}

// Lays out every mesh, or those without the set asked for (clear of the
// others); -1 to go on, or the exit code.
int generateLayouts(const Settings& settings, std::vector<lumivex::ImportedMesh>& meshes, lumivex::ProgressLine& line) {
  std::vector<lumivex::ImportedMesh*> laidOut;
  std::vector<lumivex::MeshArrays> arrays, kept;
  for (lumivex::ImportedMesh& mesh : meshes) {
    if (!settings.lightmapSetGiven || !mesh.hasLightmapSet) {
      laidOut.push_back(&mesh);
      arrays.push_back(arraysOf(mesh));
    } else {
      kept.push_back(arraysOf(mesh));
    }
  }
  if (laidOut.empty()) return -1;
  lumivex::LayoutOptions options;
  options.size = settings.size;
  options.padding = settings.padding;
  options.progress = line.of("Generating lightmap UVs");
  lumivex::GeneratedLayout layout;
  const lumivex::Result generated = lumivex::generateLightmapUvs(arrays, options, layout, kept);
  line.end();
  if (generated.status == lumivex::Status::DoesNotFit) {
    std::fprintf(stderr, "Error : Unable to lay out %s : %zu charts do not fit %sa lightmap of size %d with padding %d; "
                 "try a larger --size or a smaller --padding\n",
                 settings.model.c_str(), layout.charts, kept.empty() ? "" : "beside the kept layouts in ", settings.size,
                 settings.padding);
    return kExitUnreadable;
  }
  if (!generated) {
    std::fprintf(stderr, "Error : Unable to lay out %s : %s\n", settings.model.c_str(), lumivex::reason(generated).c_str());
    return kExitUnreadable;
  }
  for (std::size_t m = 0; m < laidOut.size(); ++m) {
    lumivex::ImportedMesh& mesh = *laidOut[m];
    const lumivex::MeshLayout& made = layout.meshes[m];
    std::vector<lumivex::Vertex> vertices(made.xref.size());
    for (std::size_t v = 0; v < vertices.size(); ++v) {
      vertices[v] = mesh.vertices[made.xref[v]];
      vertices[v].lightmapU = made.lightmapUvs[2 * v];
      vertices[v].lightmapV = made.lightmapUvs[2 * v + 1];
    }
    mesh.vertices = std::move(vertices);
    mesh.triangles = made.triangles;
    mesh.hasLightmapSet = true;
  }
  std::printf("Generated lightmap UVs : %zu charts for %zu meshes, %.1f %% of the square\n", layout.charts,
              laidOut.size(), 100.0 * layout.coveredShare);
  return -1;
}

// Meshes without the lightmap set: refused, or left out when asked. -1 to
// go on, or the exit code.
int dropUnmapped(const Settings& settings, std::vector<lumivex::ImportedMesh>& meshes) {
  std::vector<NamedCount> unmapped;
  for (const lumivex::ImportedMesh& mesh : meshes) {
    if (!mesh.hasLightmapSet) unmapped.push_back({lumivex::writtenName(mesh), mesh.uvSets});
  }
  if (unmapped.empty()) return -1;
  const std::string set = std::to_string(settings.lightmapSet);
  if (!settings.skipUnmapped) {
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
  std::fprintf(stderr, "Warning : %zu meshes without UV set %s left out : %s\n", unmapped.size(), set.c_str(),
               worstFew(unmapped, false).c_str());
  std::erase_if(meshes, [](const lumivex::ImportedMesh& mesh) { return !mesh.hasLightmapSet; });
  if (meshes.empty()) {
    std::fprintf(stderr, "Error : No triangles in %s : no mesh has UV set %s\n", settings.model.c_str(), set.c_str());
    return kExitNoTriangles;
  }
  return -1;
}

// Checks the layout, writes the mesh file and the report, then warns.
int checkAndWrite(const Settings& settings, std::vector<lumivex::ImportedMesh>& meshes, lumivex::ProgressLine& line) {
  std::vector<lumivex::MeshArrays> arrays;
  std::vector<std::string> names;
  for (lumivex::ImportedMesh& mesh : meshes) {
    lumivex::joinIdenticalVertices(mesh);
    arrays.push_back(arraysOf(mesh));
    names.push_back(lumivex::writtenName(mesh));
  }
  lumivex::LayoutCheckOptions checkOptions;
  checkOptions.progress = line.of("Checking the lightmap layout");
  lumivex::LayoutReport report;
  const lumivex::Result checked = lumivex::checkLayout(arrays, settings.size, report, checkOptions);
  line.end();
  if (!checked) {
    std::fprintf(stderr, "Error : Unable to check the layout of %s : %s\n", settings.model.c_str(),
                 lumivex::reason(checked).c_str());
    return kExitUnreadable;
  }
  std::vector<lumivex::NamedMesh> named;
  for (std::size_t m = 0; m < meshes.size(); ++m) named.push_back({names[m], arrays[m], {}});
  const std::string outputName = settings.outputName + ".kvx";
  lumivex::MeshFile written;
  if (!lumivex::writeMeshFile(outputName.c_str(), named) || !lumivex::loadMeshFile(outputName.c_str(), written)) {
    std::fprintf(stderr, "Error : Unable to write output file : %s\n", outputName.c_str());
    return kExitCannotWrite;
  }
  std::printf("Wrote %s : %zu triangles in %zu meshes\n", outputName.c_str(), report.total.triangles,
              written.group(0).size());
  if (!settings.reportFile.empty()) {
    const std::string json = lumivex::layoutReportJson(report, names, settings.model);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(json.data());
    if (!lumivex::writeWholeFile(settings.reportFile.c_str(), {bytes, json.size()})) {
      std::fprintf(stderr, "Error : Unable to write report file : %s\n", settings.reportFile.c_str());
      return kExitCannotWrite;
    }
    std::printf("Wrote %s\n", settings.reportFile.c_str());
  }
  std::fflush(stdout);
  warnAboutLayout(report, names);
  return 0;
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
  lumivex::ProgressLine line;
  if (settings.generate) {
    if (const int code = generateLayouts(settings, meshes, line); code >= 0) return code;
  }
  if (const int code = dropUnmapped(settings, meshes); code >= 0) return code;
  return checkAndWrite(settings, meshes, line);
}
