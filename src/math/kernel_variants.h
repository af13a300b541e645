#pragma once
// Every variant of the two kernel operations, callable directly (tests and
// benchmarks do; the sampler goes through the kernel table instead).
// Each takes the output first, returns it, and may write into its own input.

#include <lumivex/lumivex.h>

namespace lumivex {

// Baseline family: table-driven normalisation, double-precision combination.
Vector3* normaliseVector3Baseline(Vector3* out, const Vector3* in);
Vector3* barycentricCombineDouble(Vector3* out, const Vector3* p0, const Vector3* p1,
                                  const Vector3* p2, float f, float g);

// Single-precision combination: the SSE and SSE2 families share it.
Vector3* barycentricCombineSingle(Vector3* out, const Vector3* p0, const Vector3* p1,
                                  const Vector3* p2, float f, float g);

// LUMIVEX_NO_SIMD_KERNEL builds the kernel as on a processor of another
// architecture: the baseline family only.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(LUMIVEX_NO_SIMD_KERNEL)
#define LUMIVEX_HAS_SSE_KERNEL 1
// SSE normalisation: the processor's reciprocal-square-root estimate and one
// Newton-Raphson step. The SSE2 family carries its own routine with the same arithmetic.
Vector3* normaliseVector3Sse(Vector3* out, const Vector3* in);
Vector3* normaliseVector3Sse2(Vector3* out, const Vector3* in);
#else
#define LUMIVEX_HAS_SSE_KERNEL 0
#endif

}  // namespace lumivex
