#include "math/orientation.h"

#include <array>
#include <cmath>
#include <cstddef>

namespace lumivex {

namespace {

// The sign of (a - p) x (b - p) for points whose coordinates are floats (held
// in doubles), decided exactly: a quick estimate in double with a bound on its
// error, and where the estimate is too close to zero, the same determinant as
// a sum of doubles without rounding error. Floats in doubles can neither
// overflow nor underflow in these products, so the sums are exact.

// a + b as a rounded sum and its exact error.
inline void twoSum(double a, double b, double& sum, double& error) {
  sum = a + b;
  const double bVirtual = sum - a;
  const double aVirtual = sum - bVirtual;
  error = (a - aVirtual) + (b - bVirtual);
}

// Halves of a double's significand (Veltkamp's split): their products are exact.
inline void split(double a, double& high, double& low) {
  const double c = 134217729.0 * a;  // 2^27 + 1
  high = c - (c - a);
  low = a - high;
}

// a x b as a rounded product and its exact error (Dekker), without relying on
// a fused multiply-add the processor may lack.
inline void twoProduct(double a, double b, double& product, double& error) {
  product = a * b;
  double aHigh = 0, aLow = 0, bHigh = 0, bLow = 0;
  split(a, aHigh, aLow);
  split(b, bHigh, bLow);
  error = ((aHigh * bHigh - product) + aHigh * bLow + aLow * bHigh) + aLow * bLow;
}

// A sum of doubles kept without rounding: non-overlapping parts, smallest first.
class ExactSum {
 public:
  void add(double value) {
    double carry = value;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count_; ++i) {
      double sum = 0.0, error = 0.0;
      twoSum(carry, parts_[i], sum, error);
      if (error != 0.0) parts_[kept++] = error;
      carry = sum;
    }
    if (carry != 0.0) parts_[kept++] = carry;
    count_ = kept;
  }
  // The largest part carries the sign of the whole.
  int sign() const { return count_ == 0 ? 0 : parts_[count_ - 1] > 0.0 ? 1 : -1; }

 private:
  // 16 products of two parts each, and one carry, at most.
  std::array<double, 40> parts_{};
  std::size_t count_ = 0;
};

}  // namespace

int exactOrientation(Point2 a, Point2 b, Point2 p) {
  // Each difference as two doubles, then the four products of the
  // determinant's two terms as two doubles each.
  double dx[2][2], dy[2][2];
  twoSum(a.x, -p.x, dx[0][0], dx[0][1]);
  twoSum(a.y, -p.y, dy[0][0], dy[0][1]);
  twoSum(b.x, -p.x, dx[1][0], dx[1][1]);
  twoSum(b.y, -p.y, dy[1][0], dy[1][1]);
  ExactSum sum;
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      double product = 0.0, error = 0.0;
      twoProduct(dx[0][i], dy[1][j], product, error);
      sum.add(product);
      sum.add(error);
      twoProduct(dy[0][i], dx[1][j], product, error);
      sum.add(-product);
      sum.add(-error);
    }
  }
  return sum.sign();
}

}  // namespace lumivex
