#pragma once
// One mesh as the sampler and the layout code read it: vertex attributes at
// any stride, from a file's little-endian records or from the caller's native
// arrays, and a triangle list of 16- or 32-bit entries.

#include <lumivex/lumivex.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "math/little_endian.h"

namespace lumivex {

// Where one attribute of vertex k lies: at base + k * stride. Only the first
// `present` bytes of the attribute exist (a file record shorter than 40
// bytes); the rest read as zero.
struct AttributeArray {
  const std::uint8_t* base = nullptr;
  std::size_t stride = 0;
  std::size_t present = 0;
};

struct SampledMesh {
  AttributeArray positions;    // x, y, z
  AttributeArray normals;      // x, y, z
  AttributeArray lightmapUvs;  // u, v
  bool fileByteOrder = false;  // little-endian file bytes rather than native floats
  std::size_t vertexCount = 0;
  const std::uint16_t* indices16 = nullptr;  // one of the three
  const std::uint32_t* indices32 = nullptr;
  const std::uint8_t* fileIndices = nullptr;  // 16-bit little-endian entries as in the file, any alignment
  std::size_t triangleCount = 0;
};

inline float loadFloat(const std::uint8_t* bytes, bool fileByteOrder) {
  if (fileByteOrder) return little_endian::loadFloat(bytes);
  float value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// A component that the record ends in or before: zero past its end.
[[gnu::noinline]] inline float partialComponentAt(const std::uint8_t* bytes, std::size_t present, bool fileByteOrder) {
  std::uint8_t partial[4] = {};
  std::memcpy(partial, bytes, present);
  return loadFloat(partial, fileByteOrder);
}

// Component c (a float) of vertex k's attribute; zero where the record ends
// before it.
[[gnu::always_inline]] inline float componentAt(const AttributeArray& attribute, std::size_t k, std::size_t c,
                                                bool fileByteOrder) {
  const std::uint8_t* bytes = attribute.base + k * attribute.stride + 4 * c;
  if (4 * c + 4 > attribute.present) [[unlikely]] {
    return partialComponentAt(bytes, 4 * c < attribute.present ? attribute.present - 4 * c : 0, fileByteOrder);
  }
  return loadFloat(bytes, fileByteOrder);
}

[[gnu::always_inline]] inline Vector3 vectorAt(const AttributeArray& attribute, std::size_t k, bool fileByteOrder) {
  return {componentAt(attribute, k, 0, fileByteOrder), componentAt(attribute, k, 1, fileByteOrder),
          componentAt(attribute, k, 2, fileByteOrder)};
}

inline std::size_t indexAt(const SampledMesh& mesh, std::size_t entry) {
  if (mesh.indices16 != nullptr) return mesh.indices16[entry];
  if (mesh.fileIndices != nullptr) return little_endian::loadU16(mesh.fileIndices + 2 * entry);
  return mesh.indices32[entry];
}

inline Vector3 positionOf(const SampledMesh& mesh, std::size_t k) { return vectorAt(mesh.positions, k, mesh.fileByteOrder); }

// The lightmap coordinates (u, v) of vertex k.
struct LightmapPoint {
  float u, v;
};
inline LightmapPoint lightmapPointOf(const SampledMesh& mesh, std::size_t k) {
  return {componentAt(mesh.lightmapUvs, k, 0, mesh.fileByteOrder), componentAt(mesh.lightmapUvs, k, 1, mesh.fileByteOrder)};
}

}  // namespace lumivex
