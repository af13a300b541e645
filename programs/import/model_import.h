#pragma once
// Reading a model file of any format the Open Asset Import Library reads into
// triangle meshes: world space, triangles only, normals where the model has
// none. This is the part that runs the import library; the tool runs it in a
// process of its own (see isolated_reading.h).

#include <lumivex/lumivex.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lumivex {

struct ImportedMesh {
  std::string name;
  // One record per vertex of the model's mesh: position, normal, the first UV
  // set (or zeros), and the lightmap set (or zeros where the mesh lacks it).
  std::vector<Vertex> vertices;
  std::vector<std::uint32_t> triangles;  // three vertex numbers each, all checked against vertices
  bool hasLightmapSet = false;
  std::uint32_t uvSets = 0;  // how many UV sets the mesh has
};

struct ImportedModel {
  std::vector<ImportedMesh> meshes;  // the meshes that hold triangles
};

enum class ReadStatus : std::uint8_t {
  Read,
  Unreadable,   // broken, or not a model the import library reads
  NoTriangles,  // read, and holds nothing but points, lines, cameras or lights
};

struct ReadResult {
  ReadStatus status = ReadStatus::Read;
  std::string message;  // why the model cannot be read, or has no triangles
  ImportedModel model;
};

// Reads the model, taking the lightmap coordinates from UV set `lightmapSet`.
// The import library validates what it builds; a face naming a vertex past
// its mesh is refused here too. Throws std::bad_alloc when memory runs out.
ReadResult readModel(const std::string& path, unsigned lightmapSet);

// The messages of the import library that mean it read the model and found
// no triangles in it (a point cloud, a scene of cameras), not a broken file.
bool meansNoTriangles(const std::string& importLibraryMessage);

}  // namespace lumivex
