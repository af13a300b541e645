#pragma once
// The 512 straight-line pieces that approximate 1/sqrt(m) for m in [0.5, 2)
// in the baseline normalisation.

#include <array>
#include <cstdint>

namespace lumivex {

struct RsqrtSegment {
  float slope;
  float intercept;
};

inline constexpr int kRsqrtSegmentCount = 512;

// Entries 0..255 cover [0.5 + i/512, 0.5 + (i+1)/512); entries 256..511 cover
// [1 + j/256, 1 + (j+1)/256). Constant data, never written.
extern const std::array<RsqrtSegment, kRsqrtSegmentCount> RsqrtSegmentTable;

}  // namespace lumivex
