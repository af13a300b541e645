#pragma once
// Front-to-back reading of a byte stream through a large buffer, never seeking,
// so it works on pipes too. Knows how many bytes are left when the stream is a
// regular file, so that claims larger than the file can be refused before any
// memory is set aside for them.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace lumivex {

class ByteReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;

  explicit ByteReader(std::FILE* file, std::size_t bufferSize = kDefaultBufferSize);

  // Reads exactly `count` bytes into `destination`; false when the stream ends
  // first (the bytes found before the end are stored) or a read fails.
  bool read(void* destination, std::size_t count);
  // Reads and discards `count` bytes; false when the stream ends first.
  bool skip(std::uint64_t count);
  // A little-endian two's-complement 32-bit integer.
  bool readInt32(std::int32_t& value);

  // Offset of the next byte to be read from the start of the stream.
  std::uint64_t offset() const { return offset_; }
  // Bytes left before the end, known only for regular files.
  std::optional<std::uint64_t> bytesLeft() const;
  // True when a read failed for a reason other than the end of the stream.
  bool readError() const { return readError_; }

 private:
  bool refill();

  std::FILE* file_;
  std::vector<std::uint8_t> buffer_;
  std::size_t bufferPosition_ = 0;
  std::size_t bufferEnd_ = 0;
  std::uint64_t offset_ = 0;
  std::optional<std::uint64_t> streamSize_;
  bool readError_ = false;
};

}  // namespace lumivex
