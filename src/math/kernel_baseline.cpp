#include <bit>
#include <cstdint>

#include "math/kernel_variants.h"
#include "math/rsqrt_segment_table.h"

namespace lumivex {

namespace {
// |L - 1| at or below the float nearest 1e-5 counts as unit length already.
constexpr std::uint32_t kNearUnitToleranceBits = 0x3727C5ACu;
}  // namespace

Vector3* normaliseVector3Baseline(Vector3* out, const Vector3* in) {
  const double x = in->x;
  const double y = in->y;
  const double z = in->z;

  const double squaredLength = (x * x + y * y) + z * z;
  const float squaredLengthFloat = static_cast<float>(squaredLength);
  const std::uint32_t w = std::bit_cast<std::uint32_t>(squaredLengthFloat);
  if (w == 0) {
    *out = {0.0f, 0.0f, 0.0f};
    return out;
  }

  const float distanceFromUnit = static_cast<float>(squaredLength - 1.0);
  const std::uint32_t distanceBits = std::bit_cast<std::uint32_t>(distanceFromUnit) & 0x7FFFFFFFu;
  if (distanceBits <= kNearUnitToleranceBits) {
    if (out != in) *out = *in;
    return out;
  }

  // Lf = m * 4^k with m in [0.5, 2): the index is the lowest exponent bit and
  // the top eight mantissa bits, and s = 2^-k is built straight from the exponent.
  const std::uint32_t index = (w >> 15) & 0x1FFu;
  const double m = std::bit_cast<float>((w & 0x00FFFFFFu) | 0x3F000000u);
  const double s = std::bit_cast<float>(((0xBEFFFFFFu - w) >> 1) & 0xFF800000u);
  const RsqrtSegment& segment = RsqrtSegmentTable[index];
  const double r = (m * segment.slope + segment.intercept) * s;

  out->x = static_cast<float>(x * r);
  out->y = static_cast<float>(y * r);
  out->z = static_cast<float>(z * r);
  return out;
}

Vector3* barycentricCombineDouble(Vector3* out, const Vector3* p0, const Vector3* p1,
                                  const Vector3* p2, float f, float g) {
  const double df = f;
  const double dg = g;
  // Each component reads all three inputs before writing, so out may alias any of them.
  const double x0 = p0->x;
  out->x = static_cast<float>(((p1->x - x0) * df + (p2->x - x0) * dg) + x0);
  const double y0 = p0->y;
  out->y = static_cast<float>(((p1->y - y0) * df + (p2->y - y0) * dg) + y0);
  const double z0 = p0->z;
  out->z = static_cast<float>(((p1->z - z0) * df + (p2->z - z0) * dg) + z0);
  return out;
}

Vector3* barycentricCombineSingle(Vector3* out, const Vector3* p0, const Vector3* p1,
                                  const Vector3* p2, float f, float g) {
  // Every step rounded to single precision; P0 is added before the g term.
  const auto combine = [f, g](float a0, float a1, float a2) {
    float p = (a1 - a0) * f;
    p = p + a0;
    const float q = (a2 - a0) * g;
    return p + q;
  };
  out->x = combine(p0->x, p1->x, p2->x);
  out->y = combine(p0->y, p1->y, p2->y);
  out->z = combine(p0->z, p1->z, p2->z);
  return out;
}

}  // namespace lumivex
