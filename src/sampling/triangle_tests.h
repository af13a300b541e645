#pragma once
// Point-in-triangle and barycentric weights for texel-space triangles. The
// precision of every step is part of the result: double where noted, rounded
// to single precision where noted.

#include <cmath>
#include <limits>

#include <lumivex/lumivex.h>

namespace lumivex {

// Distance from P to the infinite line through A and B, in double precision.
double pointToLineDistance(Vector3 p, Vector3 a, Vector3 b);

// Weights of V1 and V2 at P: P's distance from the opposite edge over the
// vertex's height above it. Never negative; meant for points inside the triangle.
void barycentricWeights(Vector3 p, Vector3 v0, Vector3 v1, Vector3 v2, float& w1, float& w2);

// True when P1 and P2 lie on the same side of the line AB, or either lies on it.
bool sameSide(Vector3 p1, Vector3 p2, Vector3 a, Vector3 b);

// True when P lies inside the closed triangle, whatever its winding.
bool pointInTriangle(Vector3 p, Vector3 v0, Vector3 v1, Vector3 v2);

// The same computations split into the part that depends only on the line
// (done once per triangle) and the part that depends on the point. The
// functions above are built from these, so both give identical bits.

// The line through A and B for pointToLineDistance: A and the normalised B - A.
struct MeasuredLine {
  Vector3 origin;
  Vector3 direction;
};
MeasuredLine measuredLine(Vector3 a, Vector3 b);
double distanceFromLine(const MeasuredLine& line, Vector3 p);

// sameSide(P, reference, A, B) for a fixed reference point and line.
struct SideTest {
  Vector3 origin;           // A
  double edgeX, edgeY, edgeZ;  // B - A, in double
  double referenceCrossX, referenceCrossY, referenceCrossZ;  // (B - A) x (reference - A), rounded as stated
};
SideTest sideTest(Vector3 reference, Vector3 a, Vector3 b);
bool onReferenceSide(const SideTest& test, Vector3 p);

// The same two computations for points, lines and reference points that all
// lie in the plane z = 0, as texel space does. There every term but one of
// the cross products is a signed zero, and a signed zero never changes a
// comparison with zero, a sum of non-zero value, or a square root of a square;
// what the dropped terms can still do is turn the result into NaN, when they
// multiply an infinity by zero, and the checks below keep that. The results
// equal those of the general functions bit for bit.
inline double distanceFromLineInPlane(const MeasuredLine& line, float x, float y) {
  const double wx = static_cast<float>(double{x} - double{line.origin.x});
  const double wy = static_cast<float>(double{y} - double{line.origin.y});
  if (!std::isfinite(wx) || !std::isfinite(wy) || !std::isfinite(line.direction.x) ||
      !std::isfinite(line.direction.y) || !std::isfinite(line.direction.z)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  const double kz = double{line.direction.x} * wy - double{line.direction.y} * wx;
  return std::sqrt(kz * kz);
}

// sideTest for a reference point and a line in the plane z = 0.
struct PlanarSideTest {
  double originX, originY;
  double edgeX, edgeY;
  double referenceCrossZ;
  bool referenceCrossFinite;  // the dropped x and y components of the reference's cross product
};

inline PlanarSideTest planarSideTest(Vector3 reference, Vector3 a, Vector3 b) {
  const double edgeX = double{b.x} - double{a.x};
  const double edgeY = double{b.y} - double{a.y};
  const double toReferenceX = static_cast<float>(double{reference.x} - double{a.x});
  const double toReferenceY = static_cast<float>(double{reference.y} - double{a.y});
  return {a.x,
          a.y,
          edgeX,
          edgeY,
          edgeX * toReferenceY - edgeY * toReferenceX,
          std::isfinite(edgeX) && std::isfinite(edgeY) && std::isfinite(toReferenceX) && std::isfinite(toReferenceY)};
}

// The test split once more, for a run of points along one row y: the part
// that depends on y alone, then the rest.
inline double sideRowTerm(const PlanarSideTest& test, float y) { return test.edgeX * (double{y} - test.originY); }

inline bool onReferenceSideInRow(const PlanarSideTest& test, double rowTerm, float x) {
  const double cz = static_cast<float>(rowTerm - test.edgeY * (double{x} - test.originX));
  return test.referenceCrossFinite && test.referenceCrossZ * cz >= 0.0;
}

inline bool onReferenceSideInPlane(const PlanarSideTest& test, float x, float y) {
  return onReferenceSideInRow(test, sideRowTerm(test, y), x);
}

}  // namespace lumivex
