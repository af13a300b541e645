#pragma once
// Turning imported meshes into the meshes of a mesh file: identical vertices
// joined, and a mesh split into parts of at most 65,535 vertices, with every
// triangle kept in its order, so the samples are those of the model as read.

#include <cstddef>
#include <vector>

#include "model_import.h"

namespace lumivex {

// The name a mesh is written under: its own, or "mesh" when it has none.
std::string writtenName(const ImportedMesh& mesh);

// Normals that cannot be a surface's direction (zero, not finite, or far
// from unit length) are replaced by the smooth normal at the vertex's
// position: the sum of the normals of the mesh's faces around it, weighted
// by their areas. Returns how many vertices had such normals.
std::size_t repairNormals(ImportedMesh& mesh);

// Vertices identical to the bit become one; triangles keep their order.
// The first occurrence of each vertex keeps its place.
void joinIdenticalVertices(ImportedMesh& mesh);

}  // namespace lumivex
