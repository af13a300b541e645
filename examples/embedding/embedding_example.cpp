// embedding_example IN.kvx OUT.samples SIZE
// Loads a mesh file, samples its first group into a SIZE x SIZE lightmap and
// writes the samples file: what the lumivex command does, from a program of
// your own.

#include <lumivex/lumivex.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: embedding_example IN.kvx OUT.samples SIZE\n");
    return 1;
  }
  char* end = nullptr;
  const long size = std::strtol(argv[3], &end, 10);
  if (*end != '\0' || size < lumivex::kSmallestSize || size > lumivex::kLargestSize) {
    std::fprintf(stderr, "SIZE must be a number from 1 to 16384\n");
    return 1;
  }

  lumivex::MeshFile mesh;
  if (const lumivex::Result loaded = lumivex::loadMeshFile(argv[1], mesh); !loaded) {
    std::fprintf(stderr, "cannot load %s: %s\n", argv[1], lumivex::reason(loaded).c_str());
    return 2;
  }
  lumivex::SampleGrid grid;
  if (const lumivex::Result sampled = lumivex::sampleFirstGroup(mesh, static_cast<std::int32_t>(size), grid); !sampled) {
    std::fprintf(stderr, "cannot sample %s: %s\n", argv[1], lumivex::reason(sampled).c_str());
    return 3;
  }
  if (const lumivex::Result written = lumivex::writeSamplesFile(argv[2], grid); !written) {
    std::fprintf(stderr, "cannot write %s: %s\n", argv[2], lumivex::reason(written).c_str());
    return 4;
  }
  std::printf("%s: %d x %d texels\n", argv[2], grid.size(), grid.size());
  return 0;
}
