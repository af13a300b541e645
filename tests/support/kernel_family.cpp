#include "support/kernel_family.h"

#include <bit>

#include "math/kernel_variants.h"
#include "support/pinned_inputs.h"

#if LUMIVEX_HAS_SSE_KERNEL
#include <xmmintrin.h>
#endif

namespace lumivex::testing {

void useKernelFamily(Family family) {
  KernelProbes probes;
  probes.readSetting = [](const char*) -> std::optional<std::uint32_t> { return std::nullopt; };
  if (family == Family::Baseline) {
    probes.readSetting = [](const char*) -> std::optional<std::uint32_t> { return 1u; };
  }
  resetKernelTableForTesting(probes);
}

void useRealKernelProbes() { resetKernelTableForTesting(KernelProbes{}); }

bool processorEstimatesMatchReference() {
#if LUMIVEX_HAS_SSE_KERNEL
  BitsDigest estimates;
  for (std::uint32_t m = 0; m < (1u << 13); ++m) {  // every table entry: [1, 4) in steps of 2^-11
    estimates.add(_mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(std::bit_cast<float>(0x3F800000u + (m << 12))))));
  }
  return estimates.value == 0x18ef4177513502f5ull;
#else
  return false;
#endif
}

}  // namespace lumivex::testing
