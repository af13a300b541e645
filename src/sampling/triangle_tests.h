#pragma once
// Point-in-triangle and barycentric weights for texel-space triangles. The
// precision of every step is part of the result: double where noted, rounded
// to single precision where noted.

#include "math/vector3.h"

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

}  // namespace lumivex
