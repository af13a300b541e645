#include "mesh/byte_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace lumivex {

ByteReader::ByteReader(std::FILE* file, std::size_t bufferSize) : file_(file), buffer_(bufferSize) {
  // This reader does its own buffering; large reads go straight into their destination.
  std::setvbuf(file_, nullptr, _IONBF, 0);
  const int descriptor = fileno(file_);
  struct stat status {};
  if (descriptor >= 0 && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
    const off_t position = ftello(file_);
    if (position >= 0 && position <= status.st_size) {
      streamSize_ = static_cast<std::uint64_t>(status.st_size - position);
    }
  }
}

std::optional<std::uint64_t> ByteReader::bytesLeft() const {
  if (!streamSize_) return std::nullopt;
  return offset_ <= *streamSize_ ? *streamSize_ - offset_ : 0;
}

bool ByteReader::refill() {
  bufferPosition_ = 0;
  bufferEnd_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
  if (bufferEnd_ == 0 && std::ferror(file_)) readError_ = true;
  return bufferEnd_ > 0;
}

bool ByteReader::read(void* destination, std::size_t count) {
  auto* out = static_cast<std::uint8_t*>(destination);
  while (count > 0) {
    if (bufferPosition_ == bufferEnd_) {
      if (count >= buffer_.size()) {
        // Large reads bypass the buffer.
        const std::size_t got = std::fread(out, 1, count, file_);
        offset_ += got;
        if (got < count) {
          if (std::ferror(file_)) readError_ = true;
          return false;
        }
        return true;
      }
      if (!refill()) return false;
    }
    const std::size_t take = std::min(count, bufferEnd_ - bufferPosition_);
    std::memcpy(out, buffer_.data() + bufferPosition_, take);
    bufferPosition_ += take;
    offset_ += take;
    out += take;
    count -= take;
  }
  return true;
}

bool ByteReader::skip(std::uint64_t count) {
  while (count > 0) {
    if (bufferPosition_ == bufferEnd_ && !refill()) return false;
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, bufferEnd_ - bufferPosition_));
    bufferPosition_ += take;
    offset_ += take;
    count -= take;
  }
  return true;
}

bool ByteReader::readInt32(std::int32_t& value) {
  std::uint8_t bytes[4];
  if (!read(bytes, sizeof bytes)) return false;
  const std::uint32_t bits = static_cast<std::uint32_t>(bytes[0]) |
                             (static_cast<std::uint32_t>(bytes[1]) << 8) |
                             (static_cast<std::uint32_t>(bytes[2]) << 16) |
                             (static_cast<std::uint32_t>(bytes[3]) << 24);
  value = static_cast<std::int32_t>(bits);
  return true;
}

}  // namespace lumivex
