// Generated layouts judged by the layout check, model by model: the first
// group of each mesh file given is laid out afresh (its lightmap UVs are not
// read) and checked at the same size. One line per file, then the means.
//
// Usage: layout_quality [--size N] [--padding P] [--threads T] FILE.kvx...
// Columns: triangles, charts, covered (share of the square's texel corners
// in a triangle), unsampled share of the surface, worst mesh's unsampled
// share, overlapped texels, triangles outside [0, 1], seconds, file.

#include <lumivex/layout.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Totals {
  std::size_t files = 0, overlapped = 0, outside = 0, triangles = 0, charts = 0;
  double covered = 0, seconds = 0, worstUnsampled = 0;
};

// The meshes of the first group as records and 16-bit indices.
std::vector<lumivex::MeshArrays> firstGroup(const lumivex::MeshFile& file, std::vector<std::vector<lumivex::Vertex>>& held) {
  std::vector<lumivex::MeshArrays> meshes;
  for (const lumivex::MeshView& view : file.group(0)) {
    if (!view.sampled() || view.indices.size() < 3) continue;
    std::vector<lumivex::Vertex>& vertices = held.emplace_back(static_cast<std::size_t>(view.vertexCount));
    for (std::size_t k = 0; k < vertices.size(); ++k) vertices[k] = view.vertex(k);
    lumivex::MeshArrays arrays;
    arrays.vertices = vertices;
    arrays.indices16 = view.indices.first(view.indices.size() / 3 * 3);
    meshes.push_back(arrays);
  }
  return meshes;
}

// Each mesh with its generated layout, as records again.
std::vector<lumivex::MeshArrays> laidOut(const std::vector<lumivex::MeshArrays>& meshes,
                                         const lumivex::GeneratedLayout& layout,
                                         std::vector<std::vector<lumivex::Vertex>>& held) {
  std::vector<lumivex::MeshArrays> result;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    const lumivex::MeshLayout& made = layout.meshes[m];
    std::vector<lumivex::Vertex>& vertices = held.emplace_back(made.xref.size());
    for (std::size_t v = 0; v < vertices.size(); ++v) {
      vertices[v] = meshes[m].vertices[made.xref[v]];
      vertices[v].lightmapU = made.lightmapUvs[2 * v];
      vertices[v].lightmapV = made.lightmapUvs[2 * v + 1];
    }
    lumivex::MeshArrays arrays;
    arrays.vertices = vertices;
    arrays.indices32 = made.triangles;
    result.push_back(arrays);
  }
  return result;
}

bool measure(const char* path, const lumivex::LayoutOptions& options, Totals& totals) {
  lumivex::MeshFile file;
  if (!lumivex::loadMeshFile(path, file)) return false;
  std::vector<std::vector<lumivex::Vertex>> held;
  const std::vector<lumivex::MeshArrays> meshes = firstGroup(file, held);
  lumivex::GeneratedLayout layout;
  const auto start = std::chrono::steady_clock::now();
  const lumivex::Result generated = lumivex::generateLightmapUvs(meshes, options, layout);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!generated) {
    std::printf("%8s %6s %s: %s\n", "-", "-", path, lumivex::reason(generated).c_str());
    return false;
  }
  lumivex::LayoutReport report;
  if (!lumivex::checkLayout(laidOut(meshes, layout, held), options.size, report)) return false;
  const double covered = static_cast<double>(report.total.coveredTexels) / (double(options.size) * options.size);
  const auto share = [](const lumivex::LayoutCounts& c) { return c.surfaceArea > 0 ? c.unsampledArea / c.surfaceArea : 0.0; };
  double worst = 0;
  for (const lumivex::LayoutCounts& mesh : report.meshes) worst = std::max(worst, share(mesh));
  std::printf("%8zu %6zu %6.3f %7.4f %7.4f %6zu %4zu %7.2f %s\n", report.total.triangles, layout.charts, covered,
              share(report.total), worst, report.total.overlappedTexels, report.total.outside, seconds, path);
  ++totals.files;
  totals.covered += covered;
  totals.seconds += seconds;
  totals.overlapped += report.total.overlappedTexels;
  totals.outside += report.total.outside;
  totals.triangles += report.total.triangles;
  totals.charts += layout.charts;
  totals.worstUnsampled = std::max(totals.worstUnsampled, share(report.total));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  lumivex::LayoutOptions options;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    const auto number = [&](const char* name) { return i + 1 < argc && std::strcmp(argv[i], name) == 0; };
    if (number("--size")) {
      options.size = std::atoi(argv[++i]);
    } else if (number("--padding")) {
      options.padding = std::atoi(argv[++i]);
    } else if (number("--threads")) {
      options.threads = static_cast<std::size_t>(std::atoi(argv[++i]));
    } else {
      files.push_back(argv[i]);
    }
  }
  std::printf("%8s %6s %6s %7s %7s %6s %4s %7s %s\n", "tris", "charts", "cover", "unsamp", "worst", "over", "out",
              "seconds", "file");
  Totals totals;
  for (const char* file : files) measure(file, options, totals);
  if (totals.files == 0) return 1;
  std::printf("files %zu, mean covered %.3f, triangles per chart %.1f, overlapped %zu, outside %zu, "
              "largest unsampled share %.4f, seconds %.1f\n",
              totals.files, totals.covered / totals.files, double(totals.triangles) / double(totals.charts),
              totals.overlapped, totals.outside, totals.worstUnsampled, totals.seconds);
  return 0;
}
