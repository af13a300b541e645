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

MeasuredLine measuredLine(Vector3 a, Vector3 b) {
  Vector3 direction = differenceRounded(b, a);
  normaliseVector3(&direction, &direction);
  return {a, direction};
}

double distanceFromLine(const MeasuredLine& line, Vector3 p) {
  const Vector3 w = differenceRounded(p, line.origin);
  const Vector3d k = cross(line.direction, w);
  return std::sqrt((k.z * k.z + k.y * k.y) + k.x * k.x);
}

double pointToLineDistance(Vector3 p, Vector3 a, Vector3 b) { return distanceFromLine(measuredLine(a, b), p); }

void barycentricWeights(Vector3 p, Vector3 v0, Vector3 v1, Vector3 v2, float& w1, float& w2) {
  const float height1 = static_cast<float>(pointToLineDistance(v1, v0, v2));
  const float height2 = static_cast<float>(pointToLineDistance(v2, v0, v1));
  w1 = static_cast<float>(pointToLineDistance(p, v0, v2) / double{height1});
  w2 = static_cast<float>(pointToLineDistance(p, v0, v1) / double{height2});
}

SideTest sideTest(Vector3 reference, Vector3 a, Vector3 b) {
  const Vector3d edge = differenceExact(b, a);
  const Vector3 toReference = differenceRounded(reference, a);
  const Vector3d crossExact = cross(edge, toReference);
  // This cross product keeps its z component in double precision; x and y are rounded.
  return {a,
          edge.x,
          edge.y,
          edge.z,
          static_cast<float>(crossExact.x),
          static_cast<float>(crossExact.y),
          crossExact.z};
}

bool onReferenceSide(const SideTest& test, Vector3 p) {
  const Vector3d edge = {test.edgeX, test.edgeY, test.edgeZ};
  const Vector3d toP = differenceExact(p, test.origin);
  const Vector3d crossExact = cross(edge, toP);
  // The point's cross product is rounded to single precision in every component.
  const double cx = static_cast<float>(crossExact.x);
  const double cy = static_cast<float>(crossExact.y);
  const double cz = static_cast<float>(crossExact.z);
  const double d = (test.referenceCrossZ * cz + test.referenceCrossY * cy) + test.referenceCrossX * cx;
  return d >= 0.0;  // a NaN counts as below zero
}

bool sameSide(Vector3 p1, Vector3 p2, Vector3 a, Vector3 b) { return onReferenceSide(sideTest(p2, a, b), p1); }

bool pointInTriangle(Vector3 p, Vector3 v0, Vector3 v1, Vector3 v2) {
  return sameSide(p, v0, v1, v2) && sameSide(p, v1, v0, v2) && sameSide(p, v2, v0, v1);
}

}  // namespace lumivex
