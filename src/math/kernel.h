#pragma once
// The kernel operations as the rest of the system calls them. Each call is one
// indirect call through the kernel table; the table starts out pointing at
// first-call routines that choose the processor family and fill it.


#include "math/vector3.h"

namespace lumivex {

using NormaliseVector3Routine = Vector3* (*)(Vector3* out, const Vector3* in);
using BarycentricCombineRoutine = Vector3* (*)(Vector3* out, const Vector3* p0, const Vector3* p1,
                                               const Vector3* p2, float f, float g);

struct KernelTable {
  NormaliseVector3Routine normaliseVector3;
  BarycentricCombineRoutine barycentricCombine;
};

// Process-wide; written once, during the first kernel call, then only read.
extern KernelTable kernelTable;

// Scales `in` to unit length into `out` (which may be `in`); returns out.
inline Vector3* normaliseVector3(Vector3* out, const Vector3* in) {
  return kernelTable.normaliseVector3(out, in);
}

// out = P0 + f (P1 - P0) + g (P2 - P0), per component; out may alias any input.
inline Vector3* barycentricCombine(Vector3* out, const Vector3* p0, const Vector3* p1,
                                   const Vector3* p2, float f, float g) {
  return kernelTable.barycentricCombine(out, p0, p1, p2, f, g);
}

}  // namespace lumivex
