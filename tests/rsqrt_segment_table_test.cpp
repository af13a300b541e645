// Every entry of the reciprocal-square-root table re-derived from its rule
// with exact integer arithmetic, independently of the script that wrote it.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "math/rsqrt_segment_table.h"

namespace lumivex {
namespace {

__extension__ using Unsigned128 = unsigned __int128;

// Segment ends are x = A / 512 with A an integer from 256 to 1024.
// True when 1/sqrt(A/512) lies above the midpoint of the floats lo < hi:
// mu^2 * A / 512 < 1, with mu * 2^26 an exact integer.
bool liesAboveMidpoint(float lo, float hi, std::uint32_t a) {
  const double midpoint = (double{lo} + double{hi}) / 2.0;  // exact: 25 significant bits
  const auto scaled = static_cast<Unsigned128>(std::ldexp(midpoint, 26));
  EXPECT_EQ(std::ldexp(static_cast<double>(scaled), -26), midpoint);
  return scaled * scaled * a < (Unsigned128{1} << 61);
}

// 1/sqrt(A/512) rounded to the nearest float, decided exactly.
float nearestRsqrt(std::uint32_t a) {
  float f = static_cast<float>(1.0 / std::sqrt(a / 512.0));
  for (int step = 0; step < 8; ++step) {
    const float up = std::nextafter(f, 2.0f);
    const float down = std::nextafter(f, 0.0f);
    if (liesAboveMidpoint(f, up, a)) {
      f = up;
    } else if (!liesAboveMidpoint(down, f, a)) {
      f = down;
    } else {
      return f;
    }
  }
  ADD_FAILURE() << "no nearest float found for A = " << a;
  return f;
}

struct Segment {
  std::uint32_t startA;  // a = startA / 512
  std::uint32_t endA;    // b = endA / 512
};

Segment segmentOf(int index) {
  if (index < 256) return {256u + index, 257u + index};
  const auto j = static_cast<std::uint32_t>(index - 256);
  return {512u + 2 * j, 514u + 2 * j};
}

TEST(RsqrtSegmentTable, EveryEntryFollowsTheRule) {
  for (int i = 0; i < kRsqrtSegmentCount; ++i) {
    const Segment segment = segmentOf(i);
    const double a = segment.startA / 512.0;
    const double b = segment.endA / 512.0;
    const double fa = nearestRsqrt(segment.startA);
    const double fb = nearestRsqrt(segment.endA);

    const double slope = (fb - fa) / (b - a);  // a float difference over a power of two: exact
    ASSERT_EQ(static_cast<double>(static_cast<float>(slope)), slope) << "slope of " << i << " is not a float";

    // F(a) - slope*a must be exact in double so that one rounding to float is
    // the rounding of the exact value.
    const double product = slope * a;
    ASSERT_EQ(std::fma(slope, a, -product), 0.0) << i;
    const double difference = fa - product;
    ASSERT_EQ((fa - difference) - product, 0.0) << i;
    const float intercept = static_cast<float>(difference);

    EXPECT_EQ(std::bit_cast<std::uint32_t>(RsqrtSegmentTable[i].slope),
              std::bit_cast<std::uint32_t>(static_cast<float>(slope)))
        << "entry " << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(RsqrtSegmentTable[i].intercept), std::bit_cast<std::uint32_t>(intercept))
        << "entry " << i;
  }
}

TEST(RsqrtSegmentTable, KnownRows) {
  struct Row {
    int index;
    std::uint32_t slopeBits;
    std::uint32_t interceptBits;
  };
  for (const Row& row : {Row{0, 0xBFB47E00u, 0x4007A1FAu}, Row{255, 0xBF003000u, 0x3FC01800u},
                         Row{256, 0xBEFF4000u, 0x3FBFD000u}, Row{511, 0xBE354800u, 0x3F87D47Au}}) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(RsqrtSegmentTable[row.index].slope), row.slopeBits) << row.index;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(RsqrtSegmentTable[row.index].intercept), row.interceptBits)
        << row.index;
  }
  EXPECT_EQ(RsqrtSegmentTable[256].slope * 1.0 + RsqrtSegmentTable[256].intercept, 1.0);
}

}  // namespace
}  // namespace lumivex
