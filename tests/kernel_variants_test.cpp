// Each variant of the two kernel operations against its own arithmetic.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "math/kernel_variants.h"

namespace lumivex {
namespace {

std::uint32_t bitsOf(float value) { return std::bit_cast<std::uint32_t>(value); }

void expectBits(const Vector3& actual, std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  EXPECT_EQ(bitsOf(actual.x), x);
  EXPECT_EQ(bitsOf(actual.y), y);
  EXPECT_EQ(bitsOf(actual.z), z);
}

void expectSameBits(const Vector3& actual, const Vector3& expected) {
  expectBits(actual, bitsOf(expected.x), bitsOf(expected.y), bitsOf(expected.z));
}

using Normalise = Vector3* (*)(Vector3*, const Vector3*);
using Combine = Vector3* (*)(Vector3*, const Vector3*, const Vector3*, const Vector3*, float, float);

struct NamedNormalise {
  const char* name;
  Normalise routine;
};

std::vector<NamedNormalise> allNormalisations() {
  std::vector<NamedNormalise> all = {{"baseline", normaliseVector3Baseline}};
#if LUMIVEX_HAS_SSE_KERNEL
  all.push_back({"sse", normaliseVector3Sse});
  all.push_back({"sse2", normaliseVector3Sse2});
#endif
  return all;
}

Vector3 normalised(Normalise routine, Vector3 in) {
  Vector3 out{};
  routine(&out, &in);
  return out;
}

TEST(Normalise, ZeroVectorsBecomePositiveZeroInEveryVariant) {
  for (const auto& [name, routine] : allNormalisations()) {
    SCOPED_TRACE(name);
    expectBits(normalised(routine, {0.0f, 0.0f, 0.0f}), 0, 0, 0);
    expectBits(normalised(routine, {-0.0f, 0.0f, -0.0f}), 0, 0, 0);
  }
}

TEST(Normalise, BaselineEdgeCasesBitForBit) {
  struct Case {
    Vector3 in;
    std::uint32_t x, y, z;
  };
  const Case cases[] = {
      {{1.0f, 0.0f, 0.0f}, bitsOf(1.0f), 0, 0},                        // unit: unchanged
      {{0.6f, 0.8f, 0.0f}, bitsOf(0.6f), bitsOf(0.8f), 0},             // near unit: unchanged
      {{0.0f, 0.0f, 1.000004f}, 0, 0, bitsOf(1.000004f)},              // |L - 1| within 1e-5
      {{0.0f, 0.0f, 1.000006f}, 0, 0, bitsOf(1.0f)},                   // rescaled
      {{2.0f, 0.0f, 0.0f}, bitsOf(1.0f), 0, 0},                        // exact power of four
      {{3.0f, 4.0f, 0.0f}, 0x3F199999u, 0x3F4CCCCCu, 0},               // one ulp below 0.6, 0.8
      {{-3.0f, 0.0f, -4.0f}, 0xBF199999u, 0, 0xBF4CCCCCu},             // signs kept
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.in.x << ", " << c.in.y << ", " << c.in.z);
    expectBits(normalised(normaliseVector3Baseline, c.in), c.x, c.y, c.z);
  }
}

TEST(Normalise, TinyLengthsBaselineScalesSseZeroes) {
  const Vector3 tiny = {1e-10f, 0.0f, 0.0f};
  const Vector3 baseline = normalised(normaliseVector3Baseline, tiny);
  EXPECT_NEAR(baseline.x, 1.0f, 2e-6f);
  EXPECT_EQ(baseline.y, 0.0f);
#if LUMIVEX_HAS_SSE_KERNEL
  for (Normalise sse : {normaliseVector3Sse, normaliseVector3Sse2}) {
    expectBits(normalised(sse, tiny), 0, 0, 0);
    // 2^-46 itself is normalised.
    const Vector3 edge = normalised(sse, {0x1p-23f, 0.0f, 0.0f});
    EXPECT_NEAR(edge.x, 1.0f, 5e-7f);
  }
#endif
}

// r = out.x / x must approximate 1/sqrt(Lf) within the stated relative bounds
// (plus the final rounding of the product, at most 2^-24 relative).
TEST(Normalise, BaselineAccuracyAcrossSegmentsAndExponents) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> mantissa(0.5f, 2.0f);
  const double finalRounding = 0x1p-24;
  int checked = 0;
  for (int exponent = -40; exponent <= 40; exponent += 2) {
    for (int k = 0; k < 2000; ++k) {
      const float x = std::ldexp(std::sqrt(mantissa(random)), exponent / 2);
      const float y = std::ldexp(mantissa(random), exponent / 2 - 12);  // small second component
      const double squaredLength = (double{x} * x + double{y} * y);
      const float lengthFloat = static_cast<float>(squaredLength);
      if (std::fabs(static_cast<float>(squaredLength - 1.0)) <= 1e-5f) continue;  // returned unchanged
      const Vector3 out = normalised(normaliseVector3Baseline, {x, y, 0.0f});
      const double exact = 1.0 / std::sqrt(double{lengthFloat});
      const double relative = (double{out.x} / x - exact) / exact;
      ASSERT_GE(relative, -1.3e-7 - finalRounding) << x << " " << y;
      ASSERT_LE(relative, 1.5e-6 + finalRounding) << x << " " << y;
      ++checked;
    }
  }
  EXPECT_GT(checked, 70000);
}

#if LUMIVEX_HAS_SSE_KERNEL
TEST(Normalise, SseWithinItsAccuracy) {
  std::mt19937 random(5);
  std::uniform_real_distribution<float> component(-1000.0f, 1000.0f);
  for (Normalise sse : {normaliseVector3Sse, normaliseVector3Sse2}) {
    for (int k = 0; k < 20000; ++k) {
      const Vector3 in = {component(random), component(random), component(random)};
      const Vector3 out = normalised(sse, in);
      const float squaredLength = (in.x * in.x + in.y * in.y) + in.z * in.z;
      const double exact = 1.0 / std::sqrt(double{squaredLength});
      for (auto [o, i] : {std::pair{out.x, in.x}, std::pair{out.y, in.y}, std::pair{out.z, in.z}}) {
        if (std::fabs(i) < 1.0f) continue;
        ASSERT_NEAR(double{o} / i, exact, exact * 5e-7 + std::fabs(o / i) * 0x1p-24);
      }
    }
    // There is no near-unit shortcut, and the two SSE routines agree.
    const Vector3 unit = normalised(sse, {0.0f, 1.0f, 0.0f});
    EXPECT_NEAR(unit.y, 1.0f, 5e-7f);
    expectSameBits(normalised(normaliseVector3Sse2, {3, 4, 12}), normalised(normaliseVector3Sse, {3, 4, 12}));
  }
}
#endif

TEST(Normalise, InPlaceEqualsSeparateOutput) {
  const Vector3 inputs[] = {{3, 4, 0}, {0.6f, 0.8f, 0}, {1e-10f, 0, 0}, {-7, 2, 0.5f}, {0, 0, 0}};
  for (const auto& [name, routine] : allNormalisations()) {
    for (const Vector3& in : inputs) {
      Vector3 inPlace = in;
      EXPECT_EQ(routine(&inPlace, &inPlace), &inPlace) << name;
      expectSameBits(inPlace, normalised(routine, in));
    }
  }
}

struct NamedCombine {
  const char* name;
  Combine routine;
  std::uint32_t expectedBits;  // of the distinguishing case below
};

// A case where the two associations give different roundings.
const float kP0 = -0x1.b90a5cp+5f, kP1 = -0x1.94bb62p+5f, kP2 = 0x1.f0939cp+4f;
const float kF = 0x1.3b45a2p-4f, kG = 0x1.1b7148p-1f;

const NamedCombine kCombinations[] = {
    {"double", barycentricCombineDouble, 0xC0E28988u},
    {"single", barycentricCombineSingle, 0xC0E28990u},
};

TEST(Combine, EachVariantRoundsInItsOwnOrder) {
  for (const NamedCombine& c : kCombinations) {
    SCOPED_TRACE(c.name);
    const Vector3 p0 = {kP0, kP0, 1.0f}, p1 = {kP1, kP1, 5.0f}, p2 = {kP2, kP2, 9.0f};
    Vector3 out{};
    EXPECT_EQ(c.routine(&out, &p0, &p1, &p2, kF, kG), &out);
    EXPECT_EQ(bitsOf(out.x), c.expectedBits);
    EXPECT_EQ(bitsOf(out.y), c.expectedBits);
    // 1 + 0.25 * 4 + 0.5 * 8 = 6, exact in both.
    Vector3 simple{};
    c.routine(&simple, &p0, &p1, &p2, 0.25f, 0.5f);
    EXPECT_EQ(simple.z, 6.0f);
  }
}

TEST(Combine, ZeroWeightsGiveP0AndAliasingChangesNothing) {
  const Vector3 p0 = {kP0, 1.5f, -2.25f}, p1 = {kP1, 7.0f, 3.0f}, p2 = {kP2, -4.0f, 0.125f};
  for (const NamedCombine& c : kCombinations) {
    SCOPED_TRACE(c.name);
    Vector3 out{};
    c.routine(&out, &p0, &p1, &p2, 0.0f, 0.0f);
    expectSameBits(out, p0);

    Vector3 separate{};
    c.routine(&separate, &p0, &p1, &p2, kF, kG);
    for (int alias = 0; alias < 3; ++alias) {
      Vector3 corners[3] = {p0, p1, p2};
      Vector3* target = &corners[alias];
      c.routine(target, &corners[0], &corners[1], &corners[2], kF, kG);
      expectSameBits(*target, separate);
    }
  }
}

TEST(Combine, NonFiniteWeightsPassThrough) {
  const float infinity = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Vector3 p0 = {0, 0, 0}, p1 = {1, 0, -1}, p2 = {0, 1, 0};
  for (const NamedCombine& c : kCombinations) {
    Vector3 out{};
    c.routine(&out, &p0, &p1, &p2, infinity, 0.0f);
    EXPECT_EQ(out.x, infinity) << c.name;
    EXPECT_TRUE(std::isnan(out.y)) << c.name;  // 0 * inf
    EXPECT_EQ(out.z, -infinity) << c.name;
    c.routine(&out, &p0, &p1, &p2, 0.5f, nan);
    EXPECT_TRUE(std::isnan(out.x) && std::isnan(out.y) && std::isnan(out.z)) << c.name;
  }
}

}  // namespace
}  // namespace lumivex
