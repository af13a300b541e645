#pragma once
// Arithmetic whose NaN results are fixed by the operand order written here.
//
// IEEE 754 leaves open which NaN an operation returns when an operand is NaN,
// and compilers feel free to swap the operands of + and *: the same source then
// gives NaNs of other signs and payloads in debug and release builds, or on
// other processors. The kernel routines compute fast first and, only when a
// NaN shows up, again through these functions, which give the x86 SSE answer
// for the order stated: the first NaN operand, made quiet; a NaN made from
// numbers (inf - inf, 0 x inf) is the negative default NaN.

#include <bit>
#include <cmath>
#include <cstdint>

namespace lumivex::nan_order {

inline float quiet(float value) { return std::bit_cast<float>(std::bit_cast<std::uint32_t>(value) | 0x00400000u); }
inline double quiet(double value) {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(value) | 0x0008000000000000ull);
}
template <typename T>
T defaultNaN();
template <>
inline float defaultNaN<float>() {
  return std::bit_cast<float>(0xFFC00000u);
}
template <>
inline double defaultNaN<double>() {
  return std::bit_cast<double>(0xFFF8000000000000ull);
}

template <typename T>
T ordered(T first, T second, T result) {
  if (std::isnan(first)) return quiet(first);
  if (std::isnan(second)) return quiet(second);
  if (std::isnan(result)) return defaultNaN<T>();
  return result;
}

template <typename T>
T add(T a, T b) {
  return ordered(a, b, a + b);
}
template <typename T>
T sub(T a, T b) {
  return ordered(a, b, a - b);
}
template <typename T>
T mul(T a, T b) {
  return ordered(a, b, a * b);
}

// Conversions keep the sign and the leading payload bits of a NaN and make it quiet.
inline double widen(float value) {
  if (!std::isnan(value)) return value;
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  return std::bit_cast<double>(std::uint64_t{bits & 0x80000000u} << 32 | 0x7FF8000000000000ull |
                               std::uint64_t{bits & 0x003FFFFFu} << 29);
}
inline float narrow(double value) {
  if (!std::isnan(value)) return static_cast<float>(value);
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  return std::bit_cast<float>(static_cast<std::uint32_t>(bits >> 32 & 0x80000000u) | 0x7FC00000u |
                              static_cast<std::uint32_t>(bits >> 29 & 0x003FFFFFu));
}

}  // namespace lumivex::nan_order
