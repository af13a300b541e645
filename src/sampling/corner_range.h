#pragma once
// Which texel corners of a triangle's scan range can pass the inside test.
//
// The scan range runs from trunc(min) to trunc(max + 1) in each axis, so a
// tiny triangle has about seven candidate corners, of which most lie outside
// it. For a well-shaped triangle the corners farther than a small margin
// outside its bounding box cannot pass, and are not visited; when none is
// left, the triangle is not laid out at all. Every other triangle keeps the
// full scan. Sampling gives the same bits either way.
//
// The rule, with T0, T1, T2 the texel-space corners (floats), e_k the edge
// vectors, L the longest edge and A2 = |e01 x e02| (as the zero-area test
// computes them, in double):
//   well-shaped:  every coordinate within [-2^15, 2^15], L^2 >= 2^-20 and
//                 A2 >= 2^-8 L^2;
//   then a sample point P whose x lies below minX - 2^-8 or above
//   maxX + 2^-8 (or whose y does so against minY, maxY) fails the inside
//   test. Nothing below asks P to be a texel corner: it holds for any point
//   with float coordinates in the scan range, texel centres (col + 1/2,
//   row + 1/2) included.
//
// Why. Let u = 2^-53. The sine of every angle of the triangle is A2 over the
// product of the two edges that meet there, so it is at least A2 / L^2 >=
// 2^-8. P lies more than 2^-8 outside the bounding box, so more than 2^-8
// from the triangle. Of the three edge lines, the one P lies farthest
// outside of puts it at a distance d >= 2^-8 sin(a/2) >= 2^-8 * 2^-9 = 2^-17,
// where a is the smallest angle (P's nearest point of the triangle is on an
// edge, d is its distance; or at a vertex, where P lies in the cone of
// outward normals, whose half-opening is (pi - a)/2). For that edge, from A
// to B with reference vertex R:
//  - P's term: exactly |e| d, of the sign opposite to R's side. It is
//    computed from differences and products in double, each rounded once:
//    the error is at most 4u (|e.x||dy| + |e.y||dx|) <= 8u |e| |P - A|, and
//    |P - A| < 2^17 (coordinates within 2^15, P within the scan range), so at
//    most 2^-33 |e| < |e| d. Rounded to float it keeps its sign, and being at
//    least |e| 2^-17 >= 2^-18 * 2^-17 (|e| >= A2 / L >= 2^-8 L >= 2^-18) it
//    does not underflow.
//  - R's term: exactly A2 = |e| h with h >= |R - A| 2^-8 R's height over the
//    edge. It is computed from R - A rounded to float (relative error below
//    2^-23 with the double subtraction) and double products: the error is at
//    most 2^-22 |e| |R - A| < |e| h. So it has R's side's sign, and is not 0.
//  - Their product is negative (and far from underflow), so the test for
//    this edge fails, and with it the inside test.
// The constants leave wide room: the errors come out 2^16 and 2^14 times
// smaller than the margins they are held against.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <lumivex/lumivex.h>

namespace lumivex {

// The limits below stay within what the bounds' arithmetic takes
// (coordinates within +-2^15, margins of whole float steps there).
struct CornerRule {
  double coordinateLimit = 0x1p15;
  double shortestLongestEdgeSquared = 0x1p-20;
  double smallestAreaShare = 0x1p-8;  // A2 / L^2
  double margin = 0x1p-8;             // texels outside the bounding box
};

inline constexpr CornerRule kCornerRule{};

// The texels of a well-shaped triangle whose sample points (col + offset,
// row + offset) may pass, as inclusive column and row bounds (empty when first > last; clipping to the grid is left to the
// caller); false for a triangle that is not well-shaped. The bounding box is
// given: minX, maxX, minY, maxY of the finite corners.
struct CornerBounds {
  std::int32_t firstCol, lastCol, firstRow, lastRow;
};

namespace detail {
// floor and ceiling of a float within +-2^20, without a call into the C
// library: shifted to positive values, where truncation is flooring (exact in
// double).
inline std::int32_t floorSmall(float value) {
  return static_cast<std::int32_t>(static_cast<double>(value) + 0x1p21) - (1 << 21);
}
inline std::int32_t ceilSmall(float value) { return -floorSmall(-value); }
inline float squaredLength(const Vector3& a, const Vector3& b) {
  const float dx = b.x - a.x, dy = b.y - a.y;
  return dx * dx + dy * dy;
}
}  // namespace detail

// The sums and the squared lengths are taken in float, which is cheap and
// loose enough: coordinates within 2^15 are multiples of 2^-149 whose float
// neighbours lie at most 2^-9 apart, so min - margin and max + margin round
// by at most 2^-9, which can only move the bounds outwards across an integer
// (rounding to nearest never carries a value past a float that lies between);
// and each squared length comes out within a factor 1 +- 2^-21 of its exact
// value, which the (1 + 2^-20) below makes up for. Taking the offset (0 or
// 1/2) off is a second rounding that can only widen the bounds too: with K
// the exact ceiling of min - margin - offset, min - margin <= K + offset, a
// float, so its rounding is <= K + offset too, and so is what follows.
inline bool cornersThatCanPass(const Vector3& t0, const Vector3& t1, const Vector3& t2, double area2, float minX,
                               float maxX, float minY, float maxY, const CornerRule& rule, float offset,
                               CornerBounds& bounds) {
  const auto limit = static_cast<float>(rule.coordinateLimit);
  if (!(minX >= -limit && maxX <= limit && minY >= -limit && maxY <= limit)) return false;  // the caller may know
  const float a = detail::squaredLength(t0, t1), b = detail::squaredLength(t0, t2), c = detail::squaredLength(t1, t2);
  const float ab = a > b ? a : b;
  const float longest = (ab > c ? ab : c) * (1.0f + 0x1p-20f);
  if (!(longest >= rule.shortestLongestEdgeSquared && std::fabs(area2) >= rule.smallestAreaShare * longest)) {
    return false;
  }
  const auto margin = static_cast<float>(rule.margin);
  bounds = {detail::ceilSmall(minX - margin - offset), detail::floorSmall(maxX + margin - offset),
            detail::ceilSmall(minY - margin - offset), detail::floorSmall(maxY + margin - offset)};
  return true;
}

}  // namespace lumivex
