#pragma once
// The exact orientation of three points whose coordinates are floats (held in
// doubles): which side of the line through A and B the point P lies on,
// decided without rounding error however close to the line it is.

#include <cmath>

namespace lumivex {

struct Point2 {
  double x, y;
};

// The same sign as orientation() below, from the determinant summed without
// rounding error: for the rare points the estimate cannot decide.
int exactOrientation(Point2 a, Point2 b, Point2 p);

// The sign of (a - p) x (b - p): 1 when a, b, p turn counter-clockwise, -1
// clockwise, 0 when they lie on one line. Every coordinate must be a finite
// float value (an integer coordinate of the grid is one). A quick estimate in
// double with a bound on its error settles nearly every call.
inline int orientation(Point2 a, Point2 b, Point2 p) {
  const double left = (a.x - p.x) * (b.y - p.y);
  const double right = (a.y - p.y) * (b.x - p.x);
  // A product of differences of floats is zero only when a difference is.
  if (left == 0.0 && right == 0.0) return 0;
  const double determinant = left - right;
  // The bound of the classic adaptive test for this determinant: the
  // estimate's error is at most (3 + 16 eps) eps times |left| + |right|.
  constexpr double kEpsilon = 0x1p-53;
  constexpr double kBound = (3.0 + 16.0 * kEpsilon) * kEpsilon;
  const double bound = kBound * (std::fabs(left) + std::fabs(right));
  if (determinant > bound) return 1;
  if (-determinant > bound) return -1;
  return exactOrientation(a, b, p);
}

}  // namespace lumivex
