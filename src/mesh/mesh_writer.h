#pragma once
// Writes mesh files: version 10, no opaque blocks, one group, format 9233
// meshes of 40-byte vertex records (see writeMeshFile in lumivex/layout.h).

#include <cstdint>
#include <string>
#include <vector>

#include <lumivex/lumivex.h>

namespace lumivex {

// The most vertices a mesh of the file can name with its 16-bit indices.
inline constexpr std::size_t kMaxVerticesPerMesh = 65535;

struct MeshToWrite {
  std::string name;  // at most 1023 bytes are written
  std::vector<Vertex> vertices;
  std::vector<std::uint16_t> indices;
};

// The file of these groups of meshes.
std::vector<std::uint8_t> encodeMeshFile(const std::vector<std::vector<MeshToWrite>>& groups);

}  // namespace lumivex
