#include "math/kernel_variants.h"

#if LUMIVEX_HAS_SSE_KERNEL
#include <xmmintrin.h>

namespace lumivex {

namespace {
constexpr float kSmallestNormalisedSquaredLength = 0x1p-46f;

inline Vector3* normaliseWithRsqrtEstimate(Vector3* out, const Vector3* in) {
  const float x = in->x;
  const float y = in->y;
  const float z = in->z;
  const float squaredLength = (x * x + y * y) + z * z;
  if (squaredLength < kSmallestNormalisedSquaredLength) {
    *out = {0.0f, 0.0f, 0.0f};
    return out;
  }
  const float estimate = _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(squaredLength)));
  // One Newton-Raphson step, in this order: r = 0.5 r0 (3 - L r0 r0).
  const float half = 0.5f * estimate;
  const float t = (squaredLength * estimate) * estimate;
  const float r = half * (3.0f - t);
  out->x = r * x;
  out->y = r * y;
  out->z = r * z;
  return out;
}
}  // namespace

Vector3* normaliseVector3Sse(Vector3* out, const Vector3* in) {
  return normaliseWithRsqrtEstimate(out, in);
}

Vector3* normaliseVector3Sse2(Vector3* out, const Vector3* in) {
  return normaliseWithRsqrtEstimate(out, in);
}

}  // namespace lumivex
#endif
