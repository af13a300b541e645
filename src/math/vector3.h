#pragma once

namespace lumivex {

// Three single-precision floats, 12 bytes, no padding.
struct Vector3 {
  float x;
  float y;
  float z;
};
static_assert(sizeof(Vector3) == 12);

}  // namespace lumivex
