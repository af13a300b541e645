#pragma once
// Writes mesh files: version 10, no opaque blocks, one group, format 9233
// meshes of 40-byte vertex records.

#include <cstdint>
#include <string>
#include <vector>

#include <lumivex/lumivex.h>

namespace lumivex {

struct MeshToWrite {
  std::string name;  // at most 1023 bytes are written
  std::vector<Vertex> vertices;
  std::vector<std::uint16_t> indices;
};

std::vector<std::uint8_t> encodeMeshFile(const std::vector<MeshToWrite>& meshes);

// Complete or not written at all; false when anything fails.
bool writeMeshFile(const std::string& fileName, const std::vector<MeshToWrite>& meshes);

}  // namespace lumivex
