// Point-in-triangle, distances and weights on the triangle (0,0), (4,0), (0,4).

#include <gtest/gtest.h>

#include <cmath>
#include <bit>
#include <limits>
#include <random>

#include "sampling/triangle_tests.h"
#include "support/kernel_family.h"

namespace lumivex {
namespace {

using testing::Family;

const Vector3 kV0 = {0, 0, 0}, kV1 = {4, 0, 0}, kV2 = {0, 4, 0};

class TriangleTests : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override { testing::useKernelFamily(GetParam()); }
  void TearDown() override { testing::useRealKernelProbes(); }
};

TEST_P(TriangleTests, InsideIsClosedAndIgnoresWinding) {
  struct Case {
    Vector3 point;
    bool inside;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {{1, 2, 0}, true},  {{2, 2, 0}, true},  {{0, 3, 0}, true},  {{0, 0, 0}, true},
      {{4, 0, 0}, true},  {{3, 2, 0}, false}, {{-1, 0, 0}, false}, {{nan, 1, 0}, false},
      {{0.0f, -1e-7f, 0}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pointInTriangle(c.point, kV0, kV1, kV2), c.inside) << c.point.x << ", " << c.point.y;
    EXPECT_EQ(pointInTriangle(c.point, kV0, kV2, kV1), c.inside) << "mirrored " << c.point.x << ", " << c.point.y;
  }
}

TEST_P(TriangleTests, DegenerateTrianglesPassEveryPoint) {
  const Vector3 points[] = {{1, 2, 0}, {-50, 7, 0}, {1000, 1000, 0}};
  for (const Vector3& p : points) {
    EXPECT_TRUE(pointInTriangle(p, kV0, kV0, kV2));
    EXPECT_TRUE(pointInTriangle(p, {0, 0, 0}, {2, 0, 0}, {4, 0, 0}));
  }
}

TEST_P(TriangleTests, WeightsAtKnownPoints) {
  struct Case {
    Vector3 point;
    float w1, w2;
  };
  const Case cases[] = {
      {{1, 2, 0}, 0.25f, 0.5f}, {kV0, 0, 0}, {kV1, 1, 0}, {kV2, 0, 1}, {{2, 2, 0}, 0.5f, 0.5f},
  };
  for (const Case& c : cases) {
    float w1 = -1, w2 = -1;
    barycentricWeights(c.point, kV0, kV1, kV2, w1, w2);
    EXPECT_NEAR(w1, c.w1, 1e-6f) << c.point.x << ", " << c.point.y;
    EXPECT_NEAR(w2, c.w2, 1e-6f) << c.point.x << ", " << c.point.y;
  }
}

TEST_P(TriangleTests, DistanceToLine) {
  EXPECT_NEAR(pointToLineDistance({0, 5, 0}, {0, 0, 0}, {3, 0, 0}), 5.0, 5.0 * 2e-6);
  EXPECT_EQ(pointToLineDistance({6, 0, 0}, {0, 0, 0}, {3, 0, 0}), 0.0);
  EXPECT_EQ(pointToLineDistance({6, -2, 9}, {1, 1, 1}, {1, 1, 1}), 0.0);
  // Off the plane: the distance from the z axis.
  EXPECT_NEAR(pointToLineDistance({3, 4, 7}, {0, 0, -1}, {0, 0, 2}), 5.0, 5.0 * 2e-6);
}

INSTANTIATE_TEST_SUITE_P(Families, TriangleTests, ::testing::Values(Family::Baseline, Family::Simd),
                         [](const auto& info) { return std::string(testing::familyName(info.param)); });

// The first cross product is rounded to single precision, the second keeps its
// z component in double: with an edge of length 1e-30 the first underflows to
// zero (so the point counts as on the line), the second does not.
TEST(SameSide, MixedRoundingOfTheTwoCrossProducts) {
  const Vector3 a = {0, 0, 0}, b = {1e-30f, 0, 0};
  EXPECT_TRUE(sameSide({0, 1e-30f, 0}, {0, -1, 0}, a, b));
  EXPECT_FALSE(sameSide({0, -1, 0}, {0, 1e-30f, 0}, a, b));
  EXPECT_TRUE(sameSide({0, 1, 0}, {5, 2, 0}, a, b));
  EXPECT_FALSE(sameSide({0, 1, 0}, {5, -2, 0}, a, b));
}

}  // namespace
}  // namespace lumivex

namespace lumivex {
namespace {

// The in-plane forms must equal the general ones bit for bit for points with
// z = 0, including extreme, tiny, zero and coincident coordinates.
TEST(InPlaneForms, EqualTheGeneralTestsForPlanarPoints) {
  std::mt19937 random(99);
  const float special[] = {0.0f, -0.0f, 1.0f, -3.5f, 1e-30f, -1e-38f, 1e-45f, 3e38f, -3e38f, 1e20f, 511.0f, 0.1f};
  std::uniform_int_distribution<int> pickSpecial(0, 11);
  std::uniform_real_distribution<float> ordinary(-600.0f, 600.0f);
  const auto coordinate = [&] {
    return random() % 3 == 0 ? special[pickSpecial(random)] : ordinary(random);
  };
  for (testing::Family family : {testing::Family::Baseline, testing::Family::Simd}) {
    testing::useKernelFamily(family);
    for (int k = 0; k < 200000; ++k) {
      const Vector3 a = {coordinate(), coordinate(), 0}, b = {coordinate(), coordinate(), 0};
      const Vector3 reference = {coordinate(), coordinate(), 0}, p = {coordinate(), coordinate(), 0};
      ASSERT_EQ(onReferenceSideInPlane(planarSideTest(reference, a, b), p.x, p.y),
                onReferenceSide(sideTest(reference, a, b), p));
      const MeasuredLine line = measuredLine(a, b);
      const double general = distanceFromLine(line, p);
      const double inPlane = distanceFromLineInPlane(line, p.x, p.y);
      if (std::isnan(general)) {
        ASSERT_TRUE(std::isnan(inPlane));
      } else {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(inPlane), std::bit_cast<std::uint64_t>(general));
      }
    }
  }
  testing::useRealKernelProbes();
}

}  // namespace
}  // namespace lumivex
