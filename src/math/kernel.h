#pragma once
// The kernel operations as the rest of the system calls them. Each call is one
// indirect call through the kernel table; the table starts out pointing at
// first-call routines that choose the processor family and fill it.


#include <atomic>

#include <lumivex/lumivex.h>

namespace lumivex {

using NormaliseVector3Routine = Vector3* (*)(Vector3* out, const Vector3* in);
using BarycentricCombineRoutine = Vector3* (*)(Vector3* out, const Vector3* p0, const Vector3* p1,
                                               const Vector3* p2, float f, float g);

// One routine per operation: a family, or the state of the table.
struct KernelRoutines {
  NormaliseVector3Routine normaliseVector3;
  BarycentricCombineRoutine barycentricCombine;
};

// Process-wide. Every slot starts at its first-call routine and is written
// once, by the first kernel call of the process, under a lock; the slots are
// atomic so that calls on other threads at that moment read either routine,
// never a torn one. Reading them costs a plain load.
struct KernelTable {
  std::atomic<NormaliseVector3Routine> normaliseVector3;
  std::atomic<BarycentricCombineRoutine> barycentricCombine;
};
extern KernelTable kernelTable;

// Scales `in` to unit length into `out` (which may be `in`); returns out.
inline Vector3* normaliseVector3(Vector3* out, const Vector3* in) {
  return kernelTable.normaliseVector3.load(std::memory_order_acquire)(out, in);
}

// out = P0 + f (P1 - P0) + g (P2 - P0), per component; out may alias any input.
inline Vector3* barycentricCombine(Vector3* out, const Vector3* p0, const Vector3* p1,
                                   const Vector3* p2, float f, float g) {
  return kernelTable.barycentricCombine.load(std::memory_order_acquire)(out, p0, p1, p2, f, g);
}

}  // namespace lumivex
