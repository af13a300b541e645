#include "math/kernel_dispatch.h"

#include <cstdlib>
#include <mutex>
#include <string_view>

#include "math/kernel_variants.h"

#if LUMIVEX_HAS_SSE_KERNEL
#include <cpuid.h>
#endif

namespace lumivex {

namespace {

Vector3* normaliseVector3FirstCall(Vector3* out, const Vector3* in) {
  initialiseKernelTable();
  return normaliseVector3(out, in);
}

Vector3* barycentricCombineFirstCall(Vector3* out, const Vector3* p0, const Vector3* p1,
                                     const Vector3* p2, float f, float g) {
  initialiseKernelTable();
  return barycentricCombine(out, p0, p1, p2, f, g);
}

constexpr KernelRoutines kFirstCallRoutines = {normaliseVector3FirstCall, barycentricCombineFirstCall};

// The baseline routines before the x86 overlay.
constexpr KernelRoutines kReferenceRoutines = {normaliseVector3Baseline, barycentricCombineDouble};

// The choice is published after the slots; the lock makes the first call of
// two threads at once choose only once.
std::atomic<KernelChoice> kernelChoice{KernelChoice::Unchosen};
std::mutex kernelChoiceLock;
KernelProbes kernelProbes;

void installX86Family(KernelRoutines& table) { table.normaliseVector3 = normaliseVector3Baseline; }

#if LUMIVEX_HAS_SSE_KERNEL
void installSse2Family(KernelRoutines& table) {
  table.normaliseVector3 = normaliseVector3Sse2;
  table.barycentricCombine = barycentricCombineSingle;
}

void installSseFamily(KernelRoutines& table) {
  table.normaliseVector3 = normaliseVector3Sse;
  table.barycentricCombine = barycentricCombineSingle;
}
#endif

void storeRoutines(const KernelRoutines& routines) {
  kernelTable.normaliseVector3.store(routines.normaliseVector3, std::memory_order_release);
  kernelTable.barycentricCombine.store(routines.barycentricCombine, std::memory_order_release);
}

}  // namespace

KernelTable kernelTable = {kFirstCallRoutines.normaliseVector3, kFirstCallRoutines.barycentricCombine};

KernelChoice chooseKernelFamily(const KernelSettings& settings, const ProcessorFeatures& features) {
  std::uint32_t disable = settings.disableSimd.value_or(0);
  if (settings.disableKernelSimd) disable = *settings.disableKernelSimd;
  if (disable == 1) return KernelChoice::X86;
  if (features.sse2Usable) return KernelChoice::Sse2;
  if (features.sseUsable) return KernelChoice::Sse;
  return KernelChoice::X86;
}

KernelChoice initialiseKernelTable() {
  const KernelChoice chosen = kernelChoice.load(std::memory_order_acquire);
  if (chosen != KernelChoice::Unchosen) return chosen;
  const std::lock_guard<std::mutex> lock(kernelChoiceLock);
  if (kernelChoice.load(std::memory_order_relaxed) != KernelChoice::Unchosen) return kernelChoice.load();

  KernelRoutines table = kReferenceRoutines;
  installX86Family(table);

  KernelSettings settings;
  settings.disableSimd = kernelProbes.readSetting("DisableSimd");
  settings.disableKernelSimd = kernelProbes.readSetting("DisableKernelSimd");
  ProcessorFeatures features;
  features.sse2Usable = kernelProbes.featureUsable(ProcessorFeature::Sse2);
  features.sseUsable = kernelProbes.featureUsable(ProcessorFeature::Sse);

  KernelChoice choice = chooseKernelFamily(settings, features);
#if LUMIVEX_HAS_SSE_KERNEL
  if (choice == KernelChoice::Sse2) installSse2Family(table);
  if (choice == KernelChoice::Sse) installSseFamily(table);
#else
  choice = KernelChoice::X86;
#endif

  storeRoutines(table);
  kernelChoice.store(choice, std::memory_order_release);
  return choice;
}

std::optional<std::uint32_t> parseKernelSettingText(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::uint64_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(*c - '0');
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> readKernelSettingDword(const char* valueName) {
  const std::string_view name = valueName;
  const char* variable = nullptr;
  if (name == "DisableSimd") variable = "LUMIVEX_DISABLE_SIMD";
  if (name == "DisableKernelSimd") variable = "LUMIVEX_DISABLE_KERNEL_SIMD";
  if (variable == nullptr) return std::nullopt;
  return parseKernelSettingText(std::getenv(variable));
}

bool processorFeatureUsable(ProcessorFeature feature) {
#if LUMIVEX_HAS_SSE_KERNEL
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0 || eax == 0) return false;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  // Linux saves the SSE register state, so the processor's word is enough.
  const unsigned int bit = feature == ProcessorFeature::Sse2 ? 26u : 25u;
  return ((edx >> bit) & 1u) != 0;
#else
  (void)feature;
  return false;
#endif
}

void resetKernelTableForTesting(const KernelProbes& probes) {
  const std::lock_guard<std::mutex> lock(kernelChoiceLock);
  kernelProbes = probes;
  kernelChoice.store(KernelChoice::Unchosen);
  storeRoutines(kFirstCallRoutines);
}

KernelChoice currentKernelChoice() { return kernelChoice.load(); }

}  // namespace lumivex
