#pragma once
// Runs a piece of a test under one kernel family, whatever the machine or
// the environment would choose.

#include <ostream>

#include "math/kernel_dispatch.h"

namespace lumivex::testing {

enum class Family { Baseline, Simd };

inline const char* familyName(Family family) { return family == Family::Baseline ? "baseline" : "simd"; }

inline void PrintTo(Family family, std::ostream* os) { *os << familyName(family); }

// Resets the kernel table so that its next first call installs `family`
// (SIMD only where this build has it; elsewhere the baseline).
void useKernelFamily(Family family);

// Back to the real settings and processor query.
void useRealKernelProbes();

// True when this processor's reciprocal-square-root estimates (which the
// instruction set only bounds) equal those of the processor that golden
// outputs of the SIMD family were taken on; false off x86.
bool processorEstimatesMatchReference();

}  // namespace lumivex::testing
