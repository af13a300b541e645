#pragma once
// Front-to-back reading of a byte stream through a large buffer, never
// seeking. A regular file is read by position (pread), which also knows how
// many bytes are left, so claims larger than the file can be refused before
// any memory is set aside for them, and arrays further ahead can be read by
// several threads at once. Any other stream (a pipe) is read in order.

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

  // Regular files only (bytesLeft() known):
  // reads `count` bytes at stream offset `at` without moving the stream; safe
  // to call from several threads at once; false when fewer bytes were there.
  bool readAt(std::uint64_t at, void* destination, std::size_t count) const;
  // moves the stream on to `to` (not before offset()) without reading what lies between.
  void jumpTo(std::uint64_t to);

 private:
  // Takes up to `count` bytes from the file at the fetch position.
  std::size_t fetch(void* destination, std::size_t count);
  bool refill();

  std::FILE* file_;
  int descriptor_ = -1;
  std::uint64_t fileStart_ = 0;  // file position of stream offset 0
  std::vector<std::uint8_t> buffer_;
  std::size_t bufferPosition_ = 0;
  std::size_t bufferEnd_ = 0;
  std::uint64_t offset_ = 0;         // consumed
  std::uint64_t fetchPosition_ = 0;  // stream offset of the next byte to fetch from the file
  std::optional<std::uint64_t> streamSize_;
  mutable bool readError_ = false;
};

}  // namespace lumivex
