#pragma once

#include "math/vector3.h"

namespace lumivex {

// The 40-byte vertex record the sampler reads: ten little-endian floats.
struct VertexRecord {
  Vector3 position;
  Vector3 normal;
  float texCoord0[2];  // first texture-coordinate pair; not read by the sampler
  float lightmapU;     // second pair: the lightmap coordinates
  float lightmapV;
};
static_assert(sizeof(VertexRecord) == 40);

}  // namespace lumivex
