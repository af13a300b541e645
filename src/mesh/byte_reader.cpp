#include "mesh/byte_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
      descriptor_ = descriptor;
      fileStart_ = static_cast<std::uint64_t>(position);
      streamSize_ = static_cast<std::uint64_t>(status.st_size - position);
    }
  }
}

std::optional<std::uint64_t> ByteReader::bytesLeft() const {
  if (!streamSize_) return std::nullopt;
  return offset_ <= *streamSize_ ? *streamSize_ - offset_ : 0;
}

bool ByteReader::readAt(std::uint64_t at, void* destination, std::size_t count) const {
  auto* out = static_cast<std::uint8_t*>(destination);
  while (count > 0) {
    const ssize_t got = pread(descriptor_, out, count, static_cast<off_t>(fileStart_ + at));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) readError_ = true;
    if (got <= 0) return false;
    out += got;
    at += static_cast<std::uint64_t>(got);
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

std::size_t ByteReader::fetch(void* destination, std::size_t count) {
  std::size_t got = 0;
  if (streamSize_) {
    const std::uint64_t left = fetchPosition_ < *streamSize_ ? *streamSize_ - fetchPosition_ : 0;
    got = static_cast<std::size_t>(std::min<std::uint64_t>(count, left));
    if (got > 0 && !readAt(fetchPosition_, destination, got)) got = 0;
  } else {
    got = std::fread(destination, 1, count, file_);
    if (got < count && std::ferror(file_)) readError_ = true;
  }
  fetchPosition_ += got;
  return got;
}

bool ByteReader::refill() {
  bufferPosition_ = 0;
  bufferEnd_ = fetch(buffer_.data(), buffer_.size());
  return bufferEnd_ > 0;
}

bool ByteReader::read(void* destination, std::size_t count) {
  auto* out = static_cast<std::uint8_t*>(destination);
  while (count > 0) {
    if (bufferPosition_ == bufferEnd_) {
      if (count >= buffer_.size()) {
        // Large reads bypass the buffer.
        const std::size_t got = fetch(out, count);
        offset_ += got;
        return got == count;
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
  const std::size_t buffered = bufferEnd_ - bufferPosition_;
  if (streamSize_ && count > buffered) {
    // A regular file need not be read to be passed over.
    const std::uint64_t left = *bytesLeft();
    jumpTo(offset_ + std::min(count, left));
    return count <= left;
  }
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

void ByteReader::jumpTo(std::uint64_t to) {
  bufferPosition_ = bufferEnd_ = 0;
  offset_ = fetchPosition_ = to;
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
