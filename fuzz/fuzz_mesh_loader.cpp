// Feeds arbitrary bytes to the mesh loader, as a regular file (length known)
// or as a stream (length unknown), and samples whatever loads.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "mesh/byte_reader.h"
#include "mesh/mesh_set.h"
#include "output/sample_grid.h"
#include "sampling/rasteriser.h"

namespace {

std::FILE* openAsRegularFile(const std::uint8_t* data, std::size_t size) {
  static const int memoryFile = memfd_create("fuzz-input", 0);
  if (memoryFile < 0 || ftruncate(memoryFile, 0) != 0) return nullptr;
  if (size > 0 && pwrite(memoryFile, data, size, 0) != static_cast<ssize_t>(size)) return nullptr;
  const int descriptor = dup(memoryFile);
  if (descriptor < 0) return nullptr;
  lseek(descriptor, 0, SEEK_SET);
  return fdopen(descriptor, "rb");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The last byte picks the source; the loader sees all bytes either way.
  const bool regularFile = size > 0 && (data[size - 1] & 1) != 0;
  std::FILE* file = regularFile ? openAsRegularFile(data, size)
                                : fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (file == nullptr) return 0;

  lumivex::MeshSet set;
  lumivex::LoadOutcome outcome;
  {
    // A small buffer keeps runs fast and sends more reads down the large-read path.
    lumivex::ByteReader reader(file, 4096);
    outcome = lumivex::readMeshSet(reader, set);
  }
  std::fclose(file);

  if (outcome.status == lumivex::LoadStatus::Loaded && set.groupCount > 0) {
    lumivex::SampleGrid grid = lumivex::makeSampleGrid(128);
    for (const lumivex::MeshRecord& mesh : set.groups[0].meshes) lumivex::rasteriseMesh(mesh, 128, grid);
  }
  return 0;
}
