#include "sampling/triangle_tests.h"

#include <cmath>

#include "math/kernel.h"

namespace lumivex {

namespace {

struct Vector3d {
  double x;
  double y;
  double z;
};

// Each component's difference is exact in double; rounding it gives the
// single-precision difference.
Vector3 differenceRounded(Vector3 b, Vector3 a) {
  return {static_cast<float>(double{b.x} - double{a.x}), static_cast<float>(double{b.y} - double{a.y}),
          static_cast<float>(double{b.z} - double{a.z})};
}

Vector3d differenceExact(Vector3 b, Vector3 a) {
  return {double{b.x} - double{a.x}, double{b.y} - double{a.y}, double{b.z} - double{a.z}};
}

template <typename U, typename V>
Vector3d cross(const U& u, const V& v) {
  return {double{u.y} * double{v.z} - double{u.z} * double{v.y},
          double{u.z} * double{v.x} - double{u.x} * double{v.z},
          double{u.x} * double{v.y} - double{u.y} * double{v.x}};
}

}  // namespace

double pointToLineDistance(Vector3 p, Vector3 a, Vector3 b) {
  Vector3 direction = differenceRounded(b, a);
  normaliseVector3(&direction, &direction);
  const Vector3 w = differenceRounded(p, a);
  const Vector3d k = cross(direction, w);
  return std::sqrt((k.z * k.z + k.y * k.y) + k.x * k.x);
}

void barycentricWeights(Vector3 p, Vector3 v0, Vector3 v1, Vector3 v2, float& w1, float& w2) {
  const float height1 = static_cast<float>(pointToLineDistance(v1, v0, v2));
  const float height2 = static_cast<float>(pointToLineDistance(v2, v0, v1));
  w1 = static_cast<float>(pointToLineDistance(p, v0, v2) / double{height1});
  w2 = static_cast<float>(pointToLineDistance(p, v0, v1) / double{height2});
}

bool sameSide(Vector3 p1, Vector3 p2, Vector3 a, Vector3 b) {
  const Vector3d edge = differenceExact(b, a);
  const Vector3d toP1 = differenceExact(p1, a);
  const Vector3 toP2 = differenceRounded(p2, a);

  const Vector3d c1Exact = cross(edge, toP1);
  const Vector3d c1 = {static_cast<float>(c1Exact.x), static_cast<float>(c1Exact.y),
                       static_cast<float>(c1Exact.z)};
  const Vector3d c2Exact = cross(edge, toP2);
  // C2 keeps its z component in double precision; x and y are rounded.
  const Vector3d c2 = {static_cast<float>(c2Exact.x), static_cast<float>(c2Exact.y), c2Exact.z};

  const double d = (c2.z * c1.z + c2.y * c1.y) + c2.x * c1.x;
  return d >= 0.0;  // a NaN counts as below zero
}

bool pointInTriangle(Vector3 p, Vector3 v0, Vector3 v1, Vector3 v2) {
  return sameSide(p, v0, v1, v2) && sameSide(p, v1, v0, v2) && sameSide(p, v2, v0, v1);
}

}  // namespace lumivex
