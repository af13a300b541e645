#pragma once
// Random numbers for the baker, from a hash of where they are used: the
// numbers of ray r of texel t under seed s are the same whatever thread
// traces it and in whatever order, so a bake gives the same bytes at any
// thread count.

#include <cstdint>

namespace lumivex::bake {

// A 64-bit finaliser with full avalanche: every input bit moves every output
// bit, so neighbouring texels and rays get unrelated streams.
inline std::uint64_t mix64(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The stream of one ray: numbers in [0, 1), drawn in order.
class RayRandom {
 public:
  RayRandom(std::uint64_t seed, std::uint64_t texel, std::uint64_t ray)
      : key_(mix64(seed ^ mix64(texel ^ mix64(ray + 0x632BE59BD9B4E019ull)))) {}
  float next() {
    // 24 bits: every float in [0, 1) with that spacing is exact.
    return static_cast<float>(mix64(key_ + counter_++) >> 40) * 0x1.0p-24f;
  }

 private:
  std::uint64_t key_;
  std::uint64_t counter_ = 0;
};

}  // namespace lumivex::bake
