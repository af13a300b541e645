#include "mesh/byte_reader.h"

#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "math/little_endian.h"

namespace lumivex {

namespace {
// Larger requests are split: read() and pread() take at most this much at once anyway.
constexpr std::size_t kLargestRead = std::size_t{1} << 30;
}  // namespace

std::ptrdiff_t ByteSource::readSomeAt(std::uint64_t, void*, std::size_t) const { return -1; }

FileDescriptorSource::FileDescriptorSource(int descriptor) : descriptor_(descriptor) {
  struct stat status {};
  if (fstat(descriptor_, &status) == 0 && S_ISREG(status.st_mode)) {
    const off_t position = lseek(descriptor_, 0, SEEK_CUR);
    if (status.st_size > 0 && position >= 0 && position <= status.st_size) {
      start_ = static_cast<std::uint64_t>(position);
      length_ = static_cast<std::uint64_t>(status.st_size - position);
      opened_ = identityOf(descriptor_);
    }
  }
}

std::optional<FileDescriptorSource::Identity> FileDescriptorSource::identityOf(int descriptor) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0) return std::nullopt;
  return Identity{static_cast<std::uint64_t>(status.st_dev),     static_cast<std::uint64_t>(status.st_ino),
                  static_cast<std::uint64_t>(status.st_size),    status.st_mtim.tv_sec,
                  status.st_mtim.tv_nsec,                        status.st_ctim.tv_sec,
                  status.st_ctim.tv_nsec};
}

bool FileDescriptorSource::changedSinceOpened() const {
  return opened_.has_value() && identityOf(descriptor_) != opened_;
}

bool FileDescriptorSource::waitUntilReadable(int milliseconds) {
  if (length_) return true;
  pollfd watched{descriptor_, POLLIN, 0};
  const int ready = poll(&watched, 1, milliseconds);
  // Ready, or an error that the read itself will report.
  return ready != 0 && !(ready < 0 && errno == EINTR);
}

std::ptrdiff_t FileDescriptorSource::readSome(void* destination, std::size_t count) {
  if (length_) {
    const std::ptrdiff_t got = readSomeAt(position_, destination, count);
    if (got > 0) position_ += static_cast<std::uint64_t>(got);
    return got;
  }
  while (true) {
    const ssize_t got = ::read(descriptor_, destination, std::min(count, kLargestRead));
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

std::ptrdiff_t FileDescriptorSource::readSomeAt(std::uint64_t at, void* destination, std::size_t count) const {
  if (!length_ || at > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - start_) return -1;
  while (true) {
    const ssize_t got = pread(descriptor_, destination, std::min(count, kLargestRead), static_cast<off_t>(start_ + at));
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

std::ptrdiff_t MemorySource::readSome(void* destination, std::size_t count) {
  const std::ptrdiff_t got = readSomeAt(position_, destination, count);
  position_ += static_cast<std::size_t>(got);
  return got;
}

std::ptrdiff_t MemorySource::readSomeAt(std::uint64_t at, void* destination, std::size_t count) const {
  if (at >= size_) return 0;
  const std::size_t take = std::min<std::uint64_t>(count, std::min(size_ - at, std::uint64_t{kLargestRead}));
  std::memcpy(destination, bytes_ + at, take);
  return static_cast<std::ptrdiff_t>(take);
}

ByteReader::ByteReader(ByteSource& source, std::size_t bufferSize)
    : source_(source), buffer_(bufferSize), streamSize_(source.length()) {}

std::optional<std::uint64_t> ByteReader::bytesLeft() const {
  if (!streamSize_) return std::nullopt;
  return offset_ <= *streamSize_ ? *streamSize_ - offset_ : 0;
}

bool ByteReader::readAt(std::uint64_t at, void* destination, std::size_t count) const {
  auto* out = static_cast<std::uint8_t*>(destination);
  while (count > 0) {
    const std::ptrdiff_t got = source_.readSomeAt(at, out, count);
    if (got < 0) readError_.store(true, std::memory_order_relaxed);
    if (got <= 0) return false;
    out += got;
    at += static_cast<std::uint64_t>(got);
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

std::size_t ByteReader::fetch(void* destination, std::size_t count) {
  auto* out = static_cast<std::uint8_t*>(destination);
  std::size_t got = 0;
  if (streamSize_) {
    const std::uint64_t left = fetchPosition_ < *streamSize_ ? *streamSize_ - fetchPosition_ : 0;
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(count, left));
    if (readAt(fetchPosition_, out, take)) got = take;
  } else {
    while (got < count) {
      const std::ptrdiff_t part = source_.readSome(out + got, count - got);
      if (part < 0) readError_.store(true, std::memory_order_relaxed);
      if (part <= 0) break;
      got += static_cast<std::size_t>(part);
    }
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
    // A source read by position need not be read to be passed over.
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
  const std::size_t buffered = bufferEnd_ - bufferPosition_;
  if (to >= offset_ && to - offset_ <= buffered) {
    bufferPosition_ += static_cast<std::size_t>(to - offset_);
    offset_ = to;
    return;
  }
  bufferPosition_ = bufferEnd_ = 0;
  offset_ = fetchPosition_ = to;
}

bool ByteReader::readInt32(std::int32_t& value) {
  std::uint8_t bytes[4];
  if (!read(bytes, sizeof bytes)) return false;
  value = little_endian::loadI32(bytes);
  return true;
}

}  // namespace lumivex
