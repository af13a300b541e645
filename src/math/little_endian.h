#pragma once
// Every file this system reads or writes is little-endian. All values cross
// between file bytes and native values here, so the bytes are the same on
// every machine; on a little-endian machine each helper is a plain copy.

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lumivex::little_endian {

inline std::uint16_t swapped(std::uint16_t value) { return static_cast<std::uint16_t>(value >> 8 | value << 8); }
inline std::uint32_t swapped(std::uint32_t value) {
  return (value >> 24) | (value >> 8 & 0x0000FF00u) | (value << 8 & 0x00FF0000u) | (value << 24);
}

template <typename T>
T fromFile(T value) {
  if constexpr (std::endian::native == std::endian::big) return swapped(value);
  return value;
}

inline std::uint16_t loadU16(const void* bytes) {
  std::uint16_t value;
  std::memcpy(&value, bytes, sizeof value);
  return fromFile(value);
}
inline std::uint32_t loadU32(const void* bytes) {
  std::uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return fromFile(value);
}
inline std::int32_t loadI32(const void* bytes) { return static_cast<std::int32_t>(loadU32(bytes)); }
inline float loadFloat(const void* bytes) { return std::bit_cast<float>(loadU32(bytes)); }

inline void storeU16(void* bytes, std::uint16_t value) {
  value = fromFile(value);
  std::memcpy(bytes, &value, sizeof value);
}
inline void storeU32(void* bytes, std::uint32_t value) {
  value = fromFile(value);
  std::memcpy(bytes, &value, sizeof value);
}
inline void storeFloat(void* bytes, float value) { storeU32(bytes, std::bit_cast<std::uint32_t>(value)); }

inline void appendU32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  const std::size_t at = bytes.size();
  bytes.resize(at + 4);
  storeU32(bytes.data() + at, value);
}
inline void appendI32(std::vector<std::uint8_t>& bytes, std::int32_t value) {
  appendU32(bytes, static_cast<std::uint32_t>(value));
}
inline void appendFloat(std::vector<std::uint8_t>& bytes, float value) {
  appendU32(bytes, std::bit_cast<std::uint32_t>(value));
}
inline void appendU16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
  const std::size_t at = bytes.size();
  bytes.resize(at + 2);
  storeU16(bytes.data() + at, value);
}

// Converts an array of 16-bit entries read raw from a file, in place.
inline void arrayFromFile(std::uint16_t* values, std::size_t count) {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < count; ++i) values[i] = swapped(values[i]);
  }
}
// Converts floats between native values and file order, in place (the same
// operation both ways).
inline void floatsToOrFromFile(float* values, std::size_t count) {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < count; ++i) values[i] = std::bit_cast<float>(swapped(std::bit_cast<std::uint32_t>(values[i])));
  }
}

}  // namespace lumivex::little_endian
