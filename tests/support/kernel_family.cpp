#include "support/kernel_family.h"

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

}  // namespace lumivex::testing
