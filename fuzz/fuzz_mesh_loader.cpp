// Feeds arbitrary bytes to the mesh loader twice, as a source of known length
// (read by position) and as a pipe that delivers a few bytes per read, and
// checks what it promises: both readings agree, a refusal leaves the set empty
// and names an offset inside the input, and every array has the size its
// counts give. Whatever loads is sampled.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mesh/byte_reader.h"
#include "mesh/mesh_set.h"
#include "output/sample_grid.h"
#include "sampling/rasteriser.h"
#include "sampling/sample_mesh_file.h"
#include "support/byte_sources.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

bool sameArrays(const lumivex::MeshSet& a, const lumivex::MeshSet& b) {
  if (a.groupCount != b.groupCount || a.groups.size() != b.groups.size()) return false;
  for (std::size_t g = 0; g < a.groups.size(); ++g) {
    const auto& ma = a.groups[g].meshes;
    const auto& mb = b.groups[g].meshes;
    if (a.groups[g].meshCount != b.groups[g].meshCount || ma.size() != mb.size()) return false;
    for (std::size_t m = 0; m < ma.size(); ++m) {
      if (ma[m].vertexCount != mb[m].vertexCount || ma[m].indexCount != mb[m].indexCount ||
          ma[m].vertexStride != mb[m].vertexStride || ma[m].vertices != mb[m].vertices ||
          ma[m].indices != mb[m].indices) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  // Several threads for any group of over 64 bytes of arrays, so that the
  // parallel reads run too; a small buffer sends more reads past it.
  lumivex::ReadOptions options;
  options.parallelReadBytes = 64;
  options.readThreads = 1 + (size % 3);

  lumivex::MeshSet fromFile;
  lumivex::MeshSet fromPipe;
  lumivex::Result fileOutcome;
  lumivex::Result pipeOutcome;
  {
    lumivex::MemorySource source(data, size);
    lumivex::ByteReader reader(source, 4096);
    fileOutcome = lumivex::readMeshSet(reader, fromFile, options);
  }
  {
    lumivex::testing::ChunkedSource source(bytes, 1 + size % 7, false);
    lumivex::ByteReader reader(source, 4096);
    pipeOutcome = lumivex::readMeshSet(reader, fromPipe, options);
  }

  require(fileOutcome.status == pipeOutcome.status, "file and pipe give the same outcome");
  require(reason(fileOutcome) == reason(pipeOutcome), "file and pipe give the same reason");
  // The same bytes as a file that is sampled while it is read, in tiny runs.
  static const int memoryFile = memfd_create("fuzz-input", 0);
  require(memoryFile >= 0 && ftruncate(memoryFile, 0) == 0 &&
              (size == 0 || pwrite(memoryFile, data, size, 0) == static_cast<ssize_t>(size)),
          "the input is written to a memory file");
  const std::string path = "/proc/self/fd/" + std::to_string(memoryFile);
  lumivex::RunLimits limits;
  limits.runBytes = 1 + size % 300;
  limits.largestStreamedMesh = 2000;
  lumivex::SampleGrid streamed;
  const lumivex::Result streamedOutcome = lumivex::sampleMeshFileInRuns(path.c_str(), 64, streamed, {}, {}, limits);
  require(lumivex::reason(streamedOutcome) == lumivex::reason(fileOutcome), "streaming refuses as loading does");

  if (fileOutcome.status != lumivex::Status::Ok) {
    require(fromFile.groupCount == 0 && fromFile.groups.empty(), "a refused file leaves the set empty");
    require(fileOutcome.offset <= size, "the damage lies inside the input");
    return 0;
  }
  require(sameArrays(fromFile, fromPipe), "file and pipe load the same arrays");
  require(fromFile.groups.size() == static_cast<std::size_t>(fromFile.groupCount), "groups follow the count");
  for (const lumivex::MeshGroup& group : fromFile.groups) {
    require(group.meshes.size() == static_cast<std::size_t>(group.meshCount), "meshes follow the count");
    for (const lumivex::MeshRecord& mesh : group.meshes) {
      require(mesh.vertices.size() == static_cast<std::size_t>(mesh.vertexCount) * mesh.recordBytes(),
              "vertex bytes follow the counts");
      require(mesh.indices.size() == static_cast<std::size_t>(mesh.indexCount), "indices follow the count");
    }
  }

  // Sampling while reading gives what loading whole, then sampling, gives.
  lumivex::SampleGrid whole = lumivex::makeSampleGrid(64);
  if (fromFile.groupCount > 0) lumivex::rasteriseMeshRecords(fromFile.groups[0].meshes, 64, whole);
  require(std::memcmp(streamed.data(), whole.data(), whole.cellCount() * sizeof(lumivex::Sample)) == 0,
          "sampling while reading equals loading, then sampling");
  return 0;
}
