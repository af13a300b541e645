#include <bit>
#include <cmath>
#include <cstdint>

#include "math/kernel_variants.h"
#include "math/nan_order.h"
#include "math/rsqrt_segment_table.h"

namespace lumivex {

namespace {
// |L - 1| at or below the float nearest 1e-5 counts as unit length already.
constexpr std::uint32_t kNearUnitToleranceBits = 0x3727C5ACu;

// r ~ 1/sqrt(Lf) from the bits w of Lf: Lf = m * 4^k with m in [0.5, 2); the
// index is the lowest exponent bit and the top eight mantissa bits, and
// s = 2^-k is built straight from the exponent.
double tableReciprocalSquareRoot(std::uint32_t w) {
  const std::uint32_t index = (w >> 15) & 0x1FFu;
  const double m = std::bit_cast<float>((w & 0x00FFFFFFu) | 0x3F000000u);
  const double s = std::bit_cast<float>(((0xBEFFFFFFu - w) >> 1) & 0xFF800000u);
  const RsqrtSegment& segment = RsqrtSegmentTable[index];
  return (m * segment.slope + segment.intercept) * s;
}

// A NaN component: its sign and payload decide the scale of the others, so
// every step takes its operands in a fixed order (see nan_order.h).
Vector3* normaliseWithNaNBaseline(Vector3* out, float inX, float inY, float inZ) {
  using namespace nan_order;
  const double x = widen(inX), y = widen(inY), z = widen(inZ);
  const double squaredLength = add(add(mul(x, x), mul(y, y)), mul(z, z));
  const double r = tableReciprocalSquareRoot(std::bit_cast<std::uint32_t>(narrow(squaredLength)));
  *out = {narrow(mul(x, r)), narrow(mul(y, r)), narrow(mul(z, r))};
  return out;
}
}  // namespace

Vector3* normaliseVector3Baseline(Vector3* out, const Vector3* in) {
  const double x = in->x;
  const double y = in->y;
  const double z = in->z;

  const double squaredLength = (x * x + y * y) + z * z;
  if (std::isnan(squaredLength)) return normaliseWithNaNBaseline(out, in->x, in->y, in->z);
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

  const double r = tableReciprocalSquareRoot(w);
  out->x = static_cast<float>(x * r);
  out->y = static_cast<float>(y * r);
  out->z = static_cast<float>(z * r);
  return out;
}

Vector3* barycentricCombineDouble(Vector3* out, const Vector3* p0, const Vector3* p1,
                                  const Vector3* p2, float f, float g) {
  const auto combine = [df = double{f}, dg = double{g}](double a0, double a1, double a2) {
    return static_cast<float>(((a1 - a0) * df + (a2 - a0) * dg) + a0);
  };
  // Every input is read before out is written, so out may alias any of them.
  Vector3 result = {combine(p0->x, p1->x, p2->x), combine(p0->y, p1->y, p2->y), combine(p0->z, p1->z, p2->z)};
  if (std::isnan(result.x) || std::isnan(result.y) || std::isnan(result.z)) {
    using namespace nan_order;
    const auto ordered = [df = widen(f), dg = widen(g)](float a0, float a1, float a2) {
      const double d0 = widen(a0);
      return narrow(add(add(mul(sub(widen(a1), d0), df), mul(sub(widen(a2), d0), dg)), d0));
    };
    result = {ordered(p0->x, p1->x, p2->x), ordered(p0->y, p1->y, p2->y), ordered(p0->z, p1->z, p2->z)};
  }
  *out = result;
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
  Vector3 result = {combine(p0->x, p1->x, p2->x), combine(p0->y, p1->y, p2->y), combine(p0->z, p1->z, p2->z)};
  if (std::isnan(result.x) || std::isnan(result.y) || std::isnan(result.z)) {
    // NaNs as the files written so far hold them: the z component took some
    // operands the other way round.
    using namespace nan_order;
    const auto orderedXY = [f, g](float a0, float a1, float a2) {
      return add(add(mul(sub(a1, a0), f), a0), mul(sub(a2, a0), g));
    };
    const auto orderedZ = [f, g](float a0, float a1, float a2) {
      return add(mul(g, sub(a2, a0)), add(a0, mul(sub(a1, a0), f)));
    };
    result = {orderedXY(p0->x, p1->x, p2->x), orderedXY(p0->y, p1->y, p2->y), orderedZ(p0->z, p1->z, p2->z)};
  }
  *out = result;
  return out;
}

}  // namespace lumivex
