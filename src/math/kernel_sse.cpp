#include "math/kernel_variants.h"

#if LUMIVEX_HAS_SSE_KERNEL
#include <xmmintrin.h>

#include <cmath>

#include "math/nan_order.h"

namespace lumivex {

namespace {
constexpr float kSmallestNormalisedSquaredLength = 0x1p-46f;

// A squared length that is NaN or infinite makes every component NaN; which
// NaN follows from a fixed operand order (see nan_order.h), the one the files
// written so far hold.
Vector3 normaliseToNaN(float x, float y, float z) {
  using namespace nan_order;
  const float squaredLength = add(add(mul(x, x), mul(y, y)), mul(z, z));
  // The estimate of NaN is that NaN made quiet, of +infinity +0.
  const float estimate = std::isnan(squaredLength) ? quiet(squaredLength) : 0.0f;
  const float t = mul(mul(squaredLength, estimate), estimate);
  const float r = mul(sub(3.0f, t), mul(estimate, 0.5f));
  return {mul(r, x), mul(r, y), mul(z, r)};
}

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
  // r is NaN exactly when the squared length is NaN or infinite.
  *out = std::isnan(r) ? normaliseToNaN(x, y, z) : Vector3{r * x, r * y, r * z};
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
