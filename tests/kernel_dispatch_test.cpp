// Choosing the kernel family: the decision for every combination of settings
// and processor features, the settings store, and the first-call table.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "math/kernel.h"
#include "math/kernel_dispatch.h"
#include "math/kernel_variants.h"

namespace lumivex {
namespace {

using Setting = std::optional<std::uint32_t>;

struct ChoiceCase {
  Setting disableSimd;
  Setting disableKernelSimd;
  bool sse;
  bool sse2;
  KernelChoice expected;
};

TEST(KernelChoice, EverySettingAndFeatureCombination) {
  const Setting values[] = {std::nullopt, 0u, 1u, 2u};
  for (Setting disableSimd : values) {
    for (Setting disableKernelSimd : values) {
      // The second setting wins whenever it is present; exactly 1 disables.
      const Setting effective = disableKernelSimd ? disableKernelSimd : disableSimd;
      const bool disabled = effective == 1u;
      for (bool sse : {false, true}) {
        for (bool sse2 : {false, true}) {
          KernelChoice expected = KernelChoice::X86;
          if (!disabled && sse2) expected = KernelChoice::Sse2;
          if (!disabled && !sse2 && sse) expected = KernelChoice::Sse;
          EXPECT_EQ(chooseKernelFamily({disableSimd, disableKernelSimd}, {sse, sse2}), expected)
              << disableSimd.value_or(99) << " " << disableKernelSimd.value_or(99) << " " << sse << sse2;
        }
      }
    }
  }
  // Spelled out: DisableSimd=1 with DisableKernelSimd=0 leaves SIMD on.
  EXPECT_EQ(chooseKernelFamily({1u, 0u}, {true, true}), KernelChoice::Sse2);
  EXPECT_EQ(chooseKernelFamily({0u, 1u}, {true, true}), KernelChoice::X86);
}

TEST(KernelSettings, OnlyWholeDecimalNumbersAreFound) {
  struct Case {
    const char* text;
    Setting expected;
  };
  const Case cases[] = {
      {"1", 1u},           {"0", 0u},         {"0001", 1u},       {"4294967295", 4294967295u},
      {"00000000004294967295", 4294967295u},  {"4294967296", {}}, {"99999999999999999999", {}},
      {"", {}},            {" 1", {}},        {"1 ", {}},         {"+1", {}},
      {"-1", {}},          {"0x1", {}},       {"1.0", {}},        {"one", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parseKernelSettingText(c.text), c.expected) << '"' << c.text << '"';
  EXPECT_EQ(parseKernelSettingText(nullptr), std::nullopt);
}

TEST(KernelSettings, ReadFromTheEnvironment) {
  setenv("LUMIVEX_DISABLE_SIMD", "1", 1);
  setenv("LUMIVEX_DISABLE_KERNEL_SIMD", "x", 1);
  EXPECT_EQ(readKernelSettingDword("DisableSimd"), 1u);
  EXPECT_EQ(readKernelSettingDword("DisableKernelSimd"), std::nullopt);
  EXPECT_EQ(readKernelSettingDword("SomethingElse"), std::nullopt);
  unsetenv("LUMIVEX_DISABLE_SIMD");
  unsetenv("LUMIVEX_DISABLE_KERNEL_SIMD");
  EXPECT_EQ(readKernelSettingDword("DisableSimd"), std::nullopt);
}

// Fake probes: the settings and features each test wants.
Setting fakeDisableSimd;
Setting fakeDisableKernelSimd;
bool fakeSse = false;
bool fakeSse2 = false;
int settingReads = 0;

KernelProbes fakeProbes() {
  KernelProbes probes;
  probes.readSetting = [](const char* name) -> Setting {
    ++settingReads;
    return std::string_view(name) == "DisableSimd" ? fakeDisableSimd : fakeDisableKernelSimd;
  };
  probes.featureUsable = [](ProcessorFeature feature) {
    return feature == ProcessorFeature::Sse2 ? fakeSse2 : fakeSse;
  };
  return probes;
}

class KernelTableTest : public ::testing::Test {
 protected:
  void TearDown() override { resetKernelTableForTesting(KernelProbes{}); }
};

TEST_F(KernelTableTest, FirstCallFillsTheTableOnceWhicheverOperationComesFirst) {
  struct Case {
    Setting disableSimd;
    bool sse;
    bool sse2;
    KernelChoice choice;
    NormaliseVector3Routine normalise;
    BarycentricCombineRoutine combine;
  };
  std::vector<Case> cases = {
      {std::nullopt, false, false, KernelChoice::X86, normaliseVector3Baseline, barycentricCombineDouble},
      {1u, true, true, KernelChoice::X86, normaliseVector3Baseline, barycentricCombineDouble},
  };
#if LUMIVEX_HAS_SSE_KERNEL
  cases.push_back({std::nullopt, true, false, KernelChoice::Sse, normaliseVector3Sse, barycentricCombineSingle});
  cases.push_back({2u, true, true, KernelChoice::Sse2, normaliseVector3Sse2, barycentricCombineSingle});
#endif
  const Vector3 p0 = {1, 2, 3}, p1 = {-4, 5, 0.5f}, p2 = {7, -8, 9};
  for (const Case& c : cases) {
    for (bool combineFirst : {false, true}) {
      fakeDisableSimd = c.disableSimd;
      fakeDisableKernelSimd = std::nullopt;
      fakeSse = c.sse;
      fakeSse2 = c.sse2;
      resetKernelTableForTesting(fakeProbes());
      settingReads = 0;

      Vector3 firstNormal{}, firstBlend{};
      const Vector3 direction = {3, 4, 12};
      if (combineFirst) barycentricCombine(&firstBlend, &p0, &p1, &p2, 0.3f, 0.6f);
      normaliseVector3(&firstNormal, &direction);
      if (!combineFirst) barycentricCombine(&firstBlend, &p0, &p1, &p2, 0.3f, 0.6f);

      EXPECT_EQ(currentKernelChoice(), c.choice);
      EXPECT_EQ(kernelTable.normaliseVector3.load(), c.normalise);
      EXPECT_EQ(kernelTable.barycentricCombine.load(), c.combine);
      EXPECT_EQ(settingReads, 2);  // read once, at the first call only

      Vector3 laterNormal{}, laterBlend{};
      normaliseVector3(&laterNormal, &direction);
      barycentricCombine(&laterBlend, &p0, &p1, &p2, 0.3f, 0.6f);
      EXPECT_EQ(std::memcmp(&firstNormal, &laterNormal, sizeof(Vector3)), 0);
      EXPECT_EQ(std::memcmp(&firstBlend, &laterBlend, sizeof(Vector3)), 0);
      EXPECT_EQ(initialiseKernelTable(), c.choice);
      EXPECT_EQ(settingReads, 2);
    }
  }
}

#if LUMIVEX_HAS_SSE_KERNEL && defined(__x86_64__)
TEST(ProcessorQuery, ThisMachineHasSse2) {
  // Every x86-64 processor has SSE and SSE2.
  EXPECT_TRUE(processorFeatureUsable(ProcessorFeature::Sse));
  EXPECT_TRUE(processorFeatureUsable(ProcessorFeature::Sse2));
}
#endif

}  // namespace
}  // namespace lumivex
