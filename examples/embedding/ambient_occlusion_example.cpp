// Bakes ambient occlusion for a mesh file's first group with the library's
// reference baker, in memory, and prints how open its surface is on average.
//   ambient_occlusion_example MESH.kvx [SIZE]

#include <lumivex/bake.h>
#include <lumivex/lumivex.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ambient_occlusion_example MESH.kvx [SIZE]\n");
    return 1;
  }
  const int size = argc > 2 ? std::atoi(argv[2]) : 128;
  lumivex::MeshFile file;
  if (const lumivex::Result loaded = lumivex::loadMeshFile(argv[1], file); !loaded) {
    std::fprintf(stderr, "%s: %s\n", argv[1], lumivex::reason(loaded).c_str());
    return 2;
  }
  // The first group's meshes as the engine would hold them: records and 32-bit indices.
  std::vector<std::vector<lumivex::Vertex>> vertices;
  std::vector<std::vector<std::uint32_t>> indices;
  for (const lumivex::MeshView& view : file.group(0)) {
    if (!view.sampled()) continue;
    vertices.emplace_back();
    for (int k = 0; k < view.vertexCount; ++k) vertices.back().push_back(view.vertex(static_cast<std::size_t>(k)));
    indices.emplace_back(view.indices.begin(), view.indices.begin() + view.indices.size() / 3 * 3);
  }
  std::vector<lumivex::MeshArrays> meshes(vertices.size());
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    meshes[m].vertices = vertices[m];
    meshes[m].indices32 = indices[m];
  }
  lumivex::SampleOptions sampling;
  sampling.samplePoint = lumivex::SamplePoint::Centre;  // where texture filtering reads a texel
  sampling.ids = true;                                  // the baker needs each texel's triangle
  lumivex::SampleGrid grid;
  lumivex::BakeOptions options;
  options.ambientOcclusion = true;
  lumivex::BakeImage image;
  lumivex::Result result = lumivex::sampleMeshes(meshes, size, grid, sampling);
  if (result) result = lumivex::bakeLightmap(meshes, grid, options, image);
  if (!result) {
    std::fprintf(stderr, "%s\n", lumivex::reason(result).c_str());
    return 3;
  }
  double sum = 0;
  for (std::size_t texel = 0; texel < image.valid.size(); ++texel) sum += image.valid[texel] ? image.rgb[3 * texel] : 0.0;
  std::printf("%llu texels baked, mean openness %.3f, %llu rays\n",
              static_cast<unsigned long long>(image.stats.coveredTexels),
              sum / static_cast<double>(std::max<std::uint64_t>(1, image.stats.coveredTexels - image.stats.invalidTexels)),
              static_cast<unsigned long long>(image.stats.rays));
  return 0;
}
