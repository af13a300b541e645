#pragma once
// Reads a fuzz target's input as a stream of values; past its end every byte
// reads as zero, so a target never runs out of input.

#include <bit>
#include <cstddef>
#include <cstdint>

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  std::uint32_t word() {
    std::uint32_t value = 0;
    for (int k = 0; k < 4; ++k) value = value << 8 | byte();
    return value;
  }
  float rawFloat() { return std::bit_cast<float>(word()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};
