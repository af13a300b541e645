#pragma once
// Byte sources for loader tests: in memory, delivering at most a few bytes
// per read (as a slow pipe or a short pread does), with or without a known
// length.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "mesh/byte_reader.h"

namespace lumivex::testing {

class ChunkedSource final : public ByteSource {
 public:
  // `lengthKnown`: read like a regular file (by position), else like a pipe.
  ChunkedSource(std::string bytes, std::size_t largestRead, bool lengthKnown)
      : bytes_(std::move(bytes)), largestRead_(largestRead), lengthKnown_(lengthKnown) {}

  std::ptrdiff_t readSome(void* destination, std::size_t count) override {
    const std::ptrdiff_t got = readSomeAt(position_, destination, count);
    position_ += static_cast<std::size_t>(got);
    return got;
  }
  std::optional<std::uint64_t> length() const override {
    return lengthKnown_ ? std::optional<std::uint64_t>(bytes_.size()) : std::nullopt;
  }
  std::ptrdiff_t readSomeAt(std::uint64_t at, void* destination, std::size_t count) const override {
    reads_.fetch_add(1, std::memory_order_relaxed);
    if (at >= bytes_.size()) return 0;
    const std::size_t take = std::min({count, largestRead_, bytes_.size() - static_cast<std::size_t>(at)});
    std::memcpy(destination, bytes_.data() + at, take);
    return static_cast<std::ptrdiff_t>(take);
  }

  // How many reads were asked of the source.
  std::size_t reads() const { return reads_.load(); }

 private:
  std::string bytes_;
  std::size_t largestRead_;
  bool lengthKnown_;
  std::size_t position_ = 0;
  mutable std::atomic<std::size_t> reads_{0};
};

}  // namespace lumivex::testing
