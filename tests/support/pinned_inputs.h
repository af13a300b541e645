#pragma once
// A fixed, reproducible stream of floats for pinning the kernel's bits: mostly
// ordinary values, mixed with NaNs of both signs and many payloads (quiet and
// signalling), infinities, signed zeros, subnormals and values near the
// limits. Built from raw std::mt19937 output, whose sequence the standard
// fixes, so every platform sees the same inputs.

#include <bit>
#include <cstdint>
#include <random>

#include <lumivex/lumivex.h>

namespace lumivex::testing {

class PinnedInputs {
 public:
  explicit PinnedInputs(std::uint32_t seed) : random_(seed) {}

  float next() {
    const std::uint32_t kind = word() % 32;
    const std::uint32_t bits = word();
    const std::uint32_t sign = bits & 0x80000000u;
    switch (kind) {
      case 0: return std::bit_cast<float>(sign | 0x7FC00000u | (bits & 0x003FFFFFu));  // quiet NaN
      case 1: return std::bit_cast<float>(sign | 0x7F800001u | (bits & 0x003FFFFEu));  // signalling NaN
      case 2: return std::bit_cast<float>(sign | 0x7FC00000u);                          // default NaNs
      case 3: return std::bit_cast<float>(sign | 0x7F800000u);                          // infinity
      case 4: return std::bit_cast<float>(sign);                                        // zero
      case 5: return std::bit_cast<float>(sign | (bits & 0x007FFFFFu));                 // subnormal
      case 6: return std::bit_cast<float>(sign | (0xF0u + bits % 15) << 23 | (bits & 0x007FFFFFu));  // huge
      case 7: return std::bit_cast<float>(sign | (1u + bits % 40) << 23 | (bits & 0x007FFFFFu));     // tiny
      default:  // ordinary: magnitudes 2^-20 to 2^20
        return std::bit_cast<float>(sign | (107u + bits % 41) << 23 | (word() & 0x007FFFFFu));
    }
  }
  Vector3 nextVector() {
    // One vector in eight lies within about 1e-5 of unit length, where the
    // baseline keeps the input as it is.
    if (word() % 8 == 0) {
      const float c = 1.0f + static_cast<float>(static_cast<int>(word() % 64) - 32) * 0x1p-22f;
      return {0.0f, c, 0.0f};
    }
    const float x = next();
    const float y = next();
    return {x, y, next()};
  }

 private:
  std::uint32_t word() { return static_cast<std::uint32_t>(random_()); }
  std::mt19937 random_;
};

// FNV-1a over 32-bit words.
struct BitsDigest {
  std::uint64_t value = 0xcbf29ce484222325ull;
  void add(float f) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
    for (int shift = 0; shift < 32; shift += 8) value = (value ^ ((bits >> shift) & 0xFFu)) * 0x100000001b3ull;
  }
  void add(const Vector3& v) {
    add(v.x);
    add(v.y);
    add(v.z);
  }
};

}  // namespace lumivex::testing
