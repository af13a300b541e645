// Each variant of the two kernel operations against its own arithmetic.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <cstring>
#include <vector>

#include "math/kernel_variants.h"
#include "support/kernel_family.h"
#include "support/pinned_inputs.h"

#if LUMIVEX_HAS_SSE_KERNEL
#include <xmmintrin.h>
#endif

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

// Every routine's bits over a large fixed set of inputs, NaNs and infinities
// among them, are pinned by a digest. NaN results follow a fixed operand
// order (the first NaN operand; inf - inf gives the negative default NaN), so
// debug and release builds write the same bytes. A few of them by hand:
TEST(KernelBits, NaNResultsFollowTheStatedOrder) {
  const auto nan = [](std::uint32_t bits) { return std::bit_cast<float>(bits); };
  struct Case {
    const char* label;
    Normalise routine;
    Vector3 in;
    std::uint32_t x, y, z;
  };
  std::vector<Case> cases = {
      // A negative NaN: bits 0xFFC00000 give index 384, m = 1.5 and s = 2^64,
      // so y = 1 is scaled to about 2^64 / sqrt(1.5).
      {"baseline", normaliseVector3Baseline, {nan(0xFFC00000), 1.0f, 0.0f}, 0xFFC00000, 0x5F5105EC, 0},
      // The first of two NaNs (y before z) decides, and each NaN stays in its place.
      {"baseline", normaliseVector3Baseline, {1.0f, nan(0x7FC00001), nan(0xFFC00002)}, 0x1F5105EB, 0x7FC00001,
       0xFFC00002},
      {"baseline", normaliseVector3Baseline, {2.0f, nan(0x7F800001), 3.0f}, 0x1FD105EB, 0x7FC00001, 0x201CC471},
  };
#if LUMIVEX_HAS_SSE_KERNEL
  for (Normalise sse : {normaliseVector3Sse, normaliseVector3Sse2}) {
    // r is NaN; it is taken first for x and y, z first for z.
    cases.push_back({"sse", sse, {nan(0x7FC00001), nan(0xFFC00002), nan(0x7FC00003)}, 0x7FC00001, 0x7FC00001, 0x7FC00003});
    // An infinite squared length: 0 x inf in the Newton step, the default NaN.
    cases.push_back({"sse", sse, {std::numeric_limits<float>::infinity(), 1.0f, 2.0f}, 0xFFC00000, 0xFFC00000, 0xFFC00000});
  }
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    expectBits(normalised(c.routine, c.in), c.x, c.y, c.z);
  }
  // The single-precision combination adds P0 first in z only.
  const Vector3 p0 = {nan(0x7FC00001), nan(0x7FC00001), nan(0x7FC00001)};
  const Vector3 p1 = {nan(0xFFC00002), nan(0xFFC00002), nan(0xFFC00002)};
  const Vector3 p2 = {1, 2, 3};
  Vector3 out{};
  barycentricCombineSingle(&out, &p0, &p1, &p2, 0.25f, 0.5f);
  expectBits(out, 0xFFC00002, 0xFFC00002, 0x7FC00001);
  barycentricCombineDouble(&out, &p0, &p1, &p2, 0.25f, 0.5f);
  expectBits(out, 0xFFC00002, 0xFFC00002, 0xFFC00002);
}

constexpr int kPinnedCount = 200000;

std::uint64_t normaliseDigest(Normalise routine, std::uint32_t seed) {
  testing::PinnedInputs inputs(seed);
  testing::BitsDigest digest;
  for (int i = 0; i < kPinnedCount; ++i) digest.add(normalised(routine, inputs.nextVector()));
  return digest.value;
}

std::uint64_t combineDigest(Combine routine, std::uint32_t seed) {
  testing::PinnedInputs inputs(seed);
  testing::BitsDigest digest;
  for (int i = 0; i < kPinnedCount; ++i) {
    const Vector3 p0 = inputs.nextVector(), p1 = inputs.nextVector(), p2 = inputs.nextVector();
    float f = inputs.next(), g = inputs.next();
    if (i % 4 != 0) {  // mostly weights as the rasteriser makes them
      f = static_cast<float>((i * 7919) % 1000) / 1000.0f;
      g = (1 - f) * 0.5f;
    }
    Vector3 out{};
    routine(&out, &p0, &p1, &p2, f, g);
    digest.add(out);
  }
  return digest.value;
}

TEST(KernelBits, DigestsOverPinnedInputs) {
  EXPECT_EQ(normaliseDigest(normaliseVector3Baseline, 1), 0x72292f363cd48e54ull);
  EXPECT_EQ(combineDigest(barycentricCombineDouble, 3), 0xb6787eab9953ce8aull);
  EXPECT_EQ(combineDigest(barycentricCombineSingle, 4), 0x1f379007b270c377ull);
}

#if LUMIVEX_HAS_SSE_KERNEL
// The processor's reciprocal-square-root estimate is only bounded, not fixed,
// so processors may differ in it. Step by step from this processor's own
// estimate, every output bit must follow the stated order of operations...
TEST(KernelBits, SseFollowsItsStepsFromTheProcessorsEstimate) {
  testing::PinnedInputs inputs(2);
  for (int i = 0; i < kPinnedCount; ++i) {
    const Vector3 in = inputs.nextVector();
    const float l = (in.x * in.x + in.y * in.y) + in.z * in.z;
    if (!std::isfinite(l)) continue;  // NaN results: pinned above
    Vector3 expected = {0, 0, 0};
    if (!(l < 0x1p-46f)) {
      const float r0 = _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(l)));
      const float r = (0.5f * r0) * (3.0f - (l * r0) * r0);
      expected = {r * in.x, r * in.y, r * in.z};
    }
    for (Normalise sse : {normaliseVector3Sse, normaliseVector3Sse2}) {
      const Vector3 out = normalised(sse, in);
      ASSERT_EQ(std::memcmp(&out, &expected, sizeof out), 0) << i;
    }
  }
}

// ...and on a processor whose estimates match the one the digest was taken
// on, the whole output is pinned.
TEST(KernelBits, SseDigestOnTheReferenceProcessor) {
  if (!testing::processorEstimatesMatchReference()) GTEST_SKIP() << "this processor estimates differently";
  EXPECT_EQ(normaliseDigest(normaliseVector3Sse, 2), 0xa6238bbe830b01f8ull);
  EXPECT_EQ(normaliseDigest(normaliseVector3Sse2, 2), 0xa6238bbe830b01f8ull);
}
#endif

}  // namespace
}  // namespace lumivex
