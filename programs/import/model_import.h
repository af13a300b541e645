#pragma once
// Turns a model file of any format the Open Asset Import Library reads into
// the meshes of a mesh file, and reports the faults of its lightmap layout.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "mesh/mesh_writer.h"

namespace lumivex {

inline constexpr std::size_t kMaxVerticesPerMesh = 65535;

struct ImportOptions {
  unsigned lightmapUvSet = 1;  // the second UV set by default
  // Called now and then with the share of the work done (0 to 1) on large models.
  std::function<void(double)> progress;
};

// Faults of a lightmap layout, found at size 512 with the sampler's own tests.
struct LightmapReport {
  std::size_t triangles = 0;
  std::size_t trianglesOutsideUnitSquare = 0;  // a corner with u or v outside [0, 1]
  std::size_t zeroAreaTriangles = 0;           // no area in the lightmap (or a non-finite coordinate)
  std::size_t overlappingTexels = 0;           // claimed by triangles that share no lightmap corner
};

enum class ImportStatus { Imported, Unreadable, NoTriangles, MissingUvSet };

struct ImportResult {
  ImportStatus status = ImportStatus::Imported;
  std::string message;  // what went wrong, for the user
  std::vector<MeshToWrite> meshes;
  LightmapReport report;
};

ImportResult importModel(const std::string& modelPath, const ImportOptions& options);

// The layout report for meshes as they will be written.
LightmapReport analyseLightmap(const std::vector<MeshToWrite>& meshes,
                               const std::function<void(double)>& progress = {});

}  // namespace lumivex
