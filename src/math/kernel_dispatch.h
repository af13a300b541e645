#pragma once
// Choosing and installing the kernel family.

#include <cstdint>
#include <optional>

#include "math/kernel.h"

namespace lumivex {

enum class KernelChoice : std::uint32_t {
  Unchosen = 0xFFFF,
  X86 = 0,        // baseline routines
  ThreeDNow = 1,  // never chosen: this build has no 3DNow! family
  Sse2 = 2,
  Sse = 3,
};

enum class ProcessorFeature { Sse, Sse2 };

// What the choice depends on, gathered once at the first kernel call.
struct KernelSettings {
  std::optional<std::uint32_t> disableSimd;        // "DisableSimd"
  std::optional<std::uint32_t> disableKernelSimd;  // "DisableKernelSimd"
};

struct ProcessorFeatures {
  bool sseUsable = false;
  bool sse2Usable = false;
};

// The decision alone: the second setting wins when present; exactly 1 keeps
// the baseline; otherwise SSE2, then SSE, then the baseline.
KernelChoice chooseKernelFamily(const KernelSettings& settings, const ProcessorFeatures& features);

// Fills the table on its first run and returns the choice; later runs change nothing.
KernelChoice initialiseKernelTable();

// The settings store: "DisableSimd" is LUMIVEX_DISABLE_SIMD and
// "DisableKernelSimd" is LUMIVEX_DISABLE_KERNEL_SIMD. A value is found only when
// the whole text is a decimal number from 0 to 4294967295.
std::optional<std::uint32_t> readKernelSettingDword(const char* valueName);
std::optional<std::uint32_t> parseKernelSettingText(const char* text);

// The processor query (CPUID leaf 1, bits 25 and 26); false off x86.
bool processorFeatureUsable(ProcessorFeature feature);

// Where the first kernel call gets its settings and features; tests replace them.
struct KernelProbes {
  std::optional<std::uint32_t> (*readSetting)(const char* valueName) = readKernelSettingDword;
  bool (*featureUsable)(ProcessorFeature feature) = processorFeatureUsable;
};

// Test support: puts the table back to its first-call state with the given probes.
void resetKernelTableForTesting(const KernelProbes& probes);
KernelChoice currentKernelChoice();

}  // namespace lumivex
