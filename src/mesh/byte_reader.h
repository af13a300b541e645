#pragma once
// Front-to-back reading of a byte stream through a large buffer, never
// seeking. A source that can be read by position (a regular file, a block of
// memory) also knows how many bytes are left, so claims larger than the file
// can be refused before any memory is set aside for them, and arrays further
// ahead can be read by several threads at once. Any other source (a pipe) is
// read in order.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace lumivex {

// Where the bytes come from. Reads may deliver fewer bytes than asked for
// (as a pipe does); the reader asks again until the end or an error.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `count` bytes from the current position: how many were read, 0 at
  // the end, -1 on an error.
  virtual std::ptrdiff_t readSome(void* destination, std::size_t count) = 0;
  // The number of bytes from the current position to the end, when known. A
  // source that knows it must also answer readSomeAt, from any thread.
  virtual std::optional<std::uint64_t> length() const { return std::nullopt; }
  // Up to `count` bytes at offset `at` from the position the reading started
  // at, without moving: as readSome.
  virtual std::ptrdiff_t readSomeAt(std::uint64_t at, void* destination, std::size_t count) const;
  // True when the bytes may differ from those at the start: another process
  // wrote the file while it was read. Asked once the reading is over.
  virtual bool changedSinceOpened() const { return false; }
  // Waits at most `milliseconds` until readSome would not block (bytes, the
  // end or an error are there): false when the time ran out first. A source
  // that never blocks answers true at once.
  virtual bool waitUntilReadable(int /*milliseconds*/) { return true; }
};

// An open file descriptor: regular files are read by position (pread), anything else in order.
// A regular file that reports no bytes (a /proc file, some FUSE file systems)
// may hold some all the same: it is read in order, to its end.
class FileDescriptorSource final : public ByteSource {
 public:
  explicit FileDescriptorSource(int descriptor);
  std::ptrdiff_t readSome(void* destination, std::size_t count) override;
  std::optional<std::uint64_t> length() const override { return length_; }
  std::ptrdiff_t readSomeAt(std::uint64_t at, void* destination, std::size_t count) const override;
  // A regular file whose size, modification or change time, or identity is
  // not what it was when this source was made.
  bool changedSinceOpened() const override;
  // Pipes and terminals may keep a read waiting for as long as the writer likes.
  bool waitUntilReadable(int milliseconds) override;

 private:
  // What identifies a file's contents without reading them.
  struct Identity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified = 0, modifiedNanoseconds = 0, changed = 0, changedNanoseconds = 0;
    bool operator==(const Identity&) const = default;
  };
  static std::optional<Identity> identityOf(int descriptor);

  int descriptor_;
  std::uint64_t start_ = 0;  // file position the reading started at
  std::uint64_t position_ = 0;
  std::optional<std::uint64_t> length_;
  std::optional<Identity> opened_;  // regular files only
};

// Another source read in pieces of at most kPiece bytes, every read failing
// once either flag is set, so that a long read stops soon after a cancel.
class CancellableSource final : public ByteSource {
 public:
  static constexpr std::size_t kPiece = std::size_t{16} << 20;  // a few milliseconds of reading
  static constexpr int kWaitMilliseconds = 50;                    // well under a second, yet rarely woken

  CancellableSource(ByteSource& inner, const std::atomic<bool>* cancel, const std::atomic<bool>* alsoCancel = nullptr)
      : inner_(inner), cancel_(cancel), alsoCancel_(alsoCancel) {}
  // A read that might wait for a writer waits in short spells, so that a
  // cancel is seen while nothing comes.
  std::ptrdiff_t readSome(void* destination, std::size_t count) override {
    while (!cancelled() && !inner_.waitUntilReadable(kWaitMilliseconds)) {
    }
    return cancelled() ? -1 : inner_.readSome(destination, std::min(count, kPiece));
  }
  std::optional<std::uint64_t> length() const override { return inner_.length(); }
  std::ptrdiff_t readSomeAt(std::uint64_t at, void* destination, std::size_t count) const override {
    return cancelled() ? -1 : inner_.readSomeAt(at, destination, std::min(count, kPiece));
  }
  bool changedSinceOpened() const override { return inner_.changedSinceOpened(); }
  bool cancelled() const {
    return (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) ||
           (alsoCancel_ != nullptr && alsoCancel_->load(std::memory_order_relaxed));
  }

 private:
  ByteSource& inner_;
  const std::atomic<bool>* cancel_;
  const std::atomic<bool>* alsoCancel_;
};

// A block of memory, read like a regular file.
class MemorySource final : public ByteSource {
 public:
  MemorySource(const void* bytes, std::size_t size) : bytes_(static_cast<const std::uint8_t*>(bytes)), size_(size) {}
  std::ptrdiff_t readSome(void* destination, std::size_t count) override;
  std::optional<std::uint64_t> length() const override { return size_; }
  std::ptrdiff_t readSomeAt(std::uint64_t at, void* destination, std::size_t count) const override;

 private:
  const std::uint8_t* bytes_;
  std::size_t size_;
  std::size_t position_ = 0;
};

class ByteReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;

  explicit ByteReader(ByteSource& source, std::size_t bufferSize = kDefaultBufferSize);

  // Reads exactly `count` bytes into `destination`; false when the stream ends
  // first (the bytes found before the end are stored) or a read fails.
  bool read(void* destination, std::size_t count);
  // Reads and discards `count` bytes; false when the stream ends first.
  bool skip(std::uint64_t count);
  // A little-endian two's-complement 32-bit integer.
  bool readInt32(std::int32_t& value);

  // Offset of the next byte to be read from the start of the stream.
  std::uint64_t offset() const { return offset_; }
  // Bytes left before the end, known only for sources read by position.
  std::optional<std::uint64_t> bytesLeft() const;
  // True when a read failed for a reason other than the end of the stream.
  bool readError() const { return readError_.load(std::memory_order_relaxed); }

  // Sources read by position only (bytesLeft() known):
  // reads `count` bytes at stream offset `at` without moving the stream; safe
  // to call from several threads at once; false when fewer bytes were there.
  bool readAt(std::uint64_t at, void* destination, std::size_t count) const;
  // moves the stream on to `to` (not before offset()) without reading what
  // lies between; bytes already buffered beyond `to` are kept.
  void jumpTo(std::uint64_t to);

 private:
  // Takes up to `count` bytes from the source at the fetch position; fewer only at the end or on an error.
  std::size_t fetch(void* destination, std::size_t count);
  bool refill();

  ByteSource& source_;
  std::vector<std::uint8_t> buffer_;
  std::size_t bufferPosition_ = 0;
  std::size_t bufferEnd_ = 0;
  std::uint64_t offset_ = 0;         // consumed
  std::uint64_t fetchPosition_ = 0;  // stream offset of the next byte to fetch from the source
  std::optional<std::uint64_t> streamSize_;
  mutable std::atomic<bool> readError_{false};
};

}  // namespace lumivex
