#include "mesh/mesh_set.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>

#include "math/little_endian.h"
#include "math/processor_count.h"
#include "mesh/byte_reader.h"

namespace lumivex {

namespace {

constexpr std::int32_t kMaxNameLength = 1023;
constexpr std::uint64_t kMaxArrayBytes = std::numeric_limits<std::int32_t>::max();
constexpr std::size_t kGrowthStartBytes = std::size_t{1} << 20;

struct Damage {
  const char* problem;
  std::uint64_t offset;
};

// Reserves room for the first of `count` items; the rest grow as they are
// read, so a false count costs no more memory than the items actually present.
template <typename Vector>
void reserveForClaim(Vector& items, std::int32_t count) {
  constexpr std::int32_t kFirstItems = 1024;
  items.reserve(static_cast<std::size_t>(std::min(count, kFirstItems)));
}

// Fills `array` with `count` elements read in order. From a stream of unknown
// length (a pipe) the array grows as the data arrives, so a false claim costs
// at most about twice the bytes actually present.
template <typename Array>
bool readArrayInOrder(ByteReader& reader, Array& array, std::uint64_t count, bool lengthKnown) {
  using Element = typename Array::value_type;
  const std::uint64_t totalBytes = count * sizeof(Element);
  std::uint64_t doneBytes = 0;
  while (doneBytes < totalBytes) {
    const std::uint64_t chunk =
        lengthKnown ? totalBytes
                    : std::min<std::uint64_t>(totalBytes - doneBytes,
                                              std::max<std::uint64_t>(doneBytes, kGrowthStartBytes));
    array.resize(static_cast<std::size_t>((doneBytes + chunk) / sizeof(Element)));
    auto* destination = reinterpret_cast<std::uint8_t*>(array.data()) + doneBytes;
    if (!reader.read(destination, static_cast<std::size_t>(chunk))) return false;
    doneBytes += chunk;
  }
  return true;
}

void indicesFromLittleEndian(IndexArray& indices) { little_endian::arrayFromFile(indices.data(), indices.size()); }

// Format 1041 records longer than their 40-byte slots: only the first 40
// bytes of each are kept and the tail is passed over. Records are read a batch
// at a time through a staging buffer of at most about 1 MiB; a record longer
// than that is read straight into its slot and its tail passed over, so a
// record size costs no memory. `readBytes(destination, count)` and
// `skipBytes(count)` take the records in order from the file.
template <typename ReadBytes, typename SkipBytes>
bool readRecordHeads(MeshRecord& mesh, bool lengthKnown, ReadBytes&& readBytes, SkipBytes&& skipBytes) {
  const std::size_t recordSize = static_cast<std::size_t>(mesh.vertexSize);
  const std::size_t stride = mesh.recordBytes();
  const std::size_t copied = stride;
  const std::size_t vertexCount = static_cast<std::size_t>(mesh.vertexCount);
  const std::size_t growthStart = std::max<std::size_t>(1, kGrowthStartBytes / stride);
  const bool staged = recordSize <= kGrowthStartBytes;
  const std::size_t batchLimit = staged ? kGrowthStartBytes / recordSize : 1;
  std::vector<std::uint8_t> staging;

  std::size_t done = 0;
  while (done < vertexCount) {
    std::size_t grow = vertexCount - done;
    if (!lengthKnown) grow = std::min(grow, std::max(done, growthStart));
    mesh.vertices.resize((done + grow) * stride);
    const std::size_t end = done + grow;
    while (done < end) {
      std::uint8_t* slot = mesh.vertices.data() + done * stride;
      if (!staged) {
        if (!readBytes(slot, copied) || !skipBytes(recordSize - copied)) return false;
        ++done;
        continue;
      }
      const std::size_t batch = std::min(end - done, batchLimit);
      staging.resize(batch * recordSize);
      if (!readBytes(staging.data(), staging.size())) return false;
      for (std::size_t k = 0; k < batch; ++k, slot += stride) std::memcpy(slot, staging.data() + k * recordSize, copied);
      done += batch;
    }
  }
  return true;
}

// Reads one mesh header; returns a problem when its values break the layout.
std::optional<Damage> readMeshHeader(ByteReader& reader, MeshRecord& mesh) {
  char name[kMaxNameLength + 1];
  std::int32_t nameLength = 0;
  const std::uint64_t nameLengthOffset = reader.offset();
  if (!reader.readInt32(nameLength)) return Damage{"mesh header cut short", nameLengthOffset};
  if (nameLength < 0 || nameLength > kMaxNameLength) {
    return Damage{"mesh name length outside 0 to 1023", nameLengthOffset};
  }
  if (!reader.read(name, static_cast<std::size_t>(nameLength))) {
    return Damage{"mesh name cut short", nameLengthOffset + 4};
  }
  name[nameLength] = '\0';  // the name is not kept

  std::int32_t formatCode = 0;
  const std::uint64_t restOffset = reader.offset();
  if (!reader.skip(16) || !reader.readInt32(formatCode) || !reader.readInt32(mesh.vertexSize) ||
      !reader.readInt32(mesh.vertexCount) || !reader.readInt32(mesh.indexCount) || !reader.skip(4)) {
    return Damage{"mesh header cut short", restOffset};
  }
  const std::uint64_t vertexSizeOffset = restOffset + 20;
  const std::uint64_t vertexCountOffset = restOffset + 24;
  const std::uint64_t indexCountOffset = restOffset + 28;

  if (mesh.vertexSize < 0) return Damage{"negative vertex size", vertexSizeOffset};
  if (mesh.vertexCount < 0) return Damage{"negative vertex count", vertexCountOffset};
  if (mesh.indexCount < 0) return Damage{"negative index count", indexCountOffset};
  mesh.formatKind = formatKindFor(formatCode);
  mesh.vertexStride = vertexStrideFor(formatCode, mesh.vertexSize);
  if (formatCode == kFormatCode40ByteSlots && mesh.vertexSize == 0 && mesh.vertexCount > 0) {
    return Damage{"format 1041 mesh with vertex size 0", vertexSizeOffset};
  }
  if (std::uint64_t(mesh.vertexCount) * std::uint64_t(mesh.vertexStride) > kMaxArrayBytes) {
    return Damage{"vertex array larger than 2147483647 bytes", vertexCountOffset};
  }
  if (2 * std::uint64_t(mesh.indexCount) > kMaxArrayBytes) {
    return Damage{"index array larger than 2147483647 bytes", indexCountOffset};
  }
  return std::nullopt;
}

// One mesh's data, read in order. From a source of unknown length the arrays
// grow as the data arrives; otherwise the length was checked and they are
// sized at once.
std::optional<Damage> readMeshDataInOrder(ByteReader& reader, MeshRecord& mesh, bool lengthKnown) {
  const std::uint64_t vertexOffset = reader.offset();
  const std::uint64_t vertexFileBytes = std::uint64_t(mesh.vertexCount) * std::uint64_t(mesh.vertexSize);
  const bool asStored = mesh.recordBytes() == static_cast<std::size_t>(mesh.vertexSize);
  const bool complete =
      asStored ? readArrayInOrder(reader, mesh.vertices, vertexFileBytes, lengthKnown)
               : readRecordHeads(
                       mesh, lengthKnown,
                       [&reader](std::uint8_t* destination, std::size_t count) { return reader.read(destination, count); },
                       [&reader](std::size_t count) { return reader.skip(count); });
  if (!complete) return Damage{"vertex records cut short", vertexOffset};

  const std::uint64_t indexOffset = reader.offset();
  if (!readArrayInOrder(reader, mesh.indices, std::uint64_t(mesh.indexCount), lengthKnown)) {
    return Damage{"index array cut short", indexOffset};
  }
  indicesFromLittleEndian(mesh.indices);
  return std::nullopt;
}

// One stretch of a regular file to read into an array.
struct ArrayPiece {
  std::uint64_t at;           // stream offset of the stretch
  std::uint8_t* destination;
  std::size_t bytes;
  const char* problem;        // reported if the stretch cannot be read
  std::uint64_t arrayOffset;  // where the array starts, for the report
};

// Reads the pieces, split by bytes across several threads: filling fresh
// memory is paced by the page faults, and those run in parallel. A failed
// stretch reports the earliest failing array.
std::optional<Damage> readPieces(const ByteReader& reader, const std::vector<ArrayPiece>& pieces,
                                 std::size_t threads) {
  std::uint64_t total = 0;
  for (const ArrayPiece& piece : pieces) total += piece.bytes;
  threads = static_cast<std::size_t>(std::clamp<std::uint64_t>(total, 1, threads));

  // Cut the pieces into one list per thread of about total / threads bytes.
  std::vector<std::vector<ArrayPiece>> shares(threads);
  const std::uint64_t quota = (total + threads - 1) / threads;
  std::size_t share = 0;
  std::uint64_t filled = 0;
  for (ArrayPiece piece : pieces) {
    while (piece.bytes > 0) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(piece.bytes, quota - filled));
      shares[share].push_back({piece.at, piece.destination, take, piece.problem, piece.arrayOffset});
      piece.at += take;
      piece.destination += take;
      piece.bytes -= take;
      filled += take;
      if (filled == quota && share + 1 < threads) {
        ++share;
        filled = 0;
      }
    }
  }

  std::vector<std::optional<Damage>> failures(threads);
  const auto readShare = [&](std::size_t s) {
    for (const ArrayPiece& piece : shares[s]) {
      if (!reader.readAt(piece.at, piece.destination, piece.bytes)) {
        failures[s] = Damage{piece.problem, piece.arrayOffset};
        return;
      }
    }
  };
  {
    std::vector<std::jthread> helpers;
    for (std::size_t s = 1; s < threads; ++s) {
      try {
        helpers.emplace_back(readShare, s);
      } catch (const std::system_error&) {
        readShare(s);  // no thread to be had: read this share here
      }
    }
    readShare(0);
  }
  for (const std::optional<Damage>& failure : failures) {
    if (failure) return failure;  // shares are in file order
  }
  return std::nullopt;
}

// Reads the data of a group, from `start` up to `end`, in one block laid out
// as the file is, one read per thread, and hands each mesh its arrays in
// place: possible when every record is kept as stored and every index array
// starts at an even distance from `start`. False when the group is not so,
// or a read fails (the arrays are then read one by one, to name the failing one).
bool readGroupAsStored(ByteReader& reader, MeshGroup& group, std::uint64_t start, std::uint64_t end,
                       std::size_t threads) {
  for (const MeshRecord& mesh : group.meshes) {
    if (mesh.recordBytes() != static_cast<std::size_t>(mesh.vertexSize) || (mesh.indexOffset - start) % 2 != 0) {
      return false;
    }
  }
  const auto bytes = static_cast<std::size_t>(end - start);
  const auto arena = std::make_shared<ArrayArena>(bytes);
  auto* block = static_cast<std::uint8_t*>(arena->take(bytes));
  const std::vector<ArrayPiece> whole = {{start, block, bytes, "", start}};
  if (readPieces(reader, whole, threads)) return false;
  for (MeshRecord& mesh : group.meshes) {
    mesh.vertices = VertexBytes(ArrayAllocator<std::uint8_t>(arena, block + (mesh.vertexOffset - start)));
    mesh.vertices.resize(std::size_t(mesh.vertexCount) * std::size_t(mesh.vertexSize));
    mesh.indices = IndexArray(
        ArrayAllocator<std::uint16_t>(arena, reinterpret_cast<std::uint16_t*>(block + (mesh.indexOffset - start))));
    mesh.indices.resize(static_cast<std::size_t>(mesh.indexCount));
    indicesFromLittleEndian(mesh.indices);
  }
  return true;
}

// The data of a group in a source of known length: every array's place
// follows from the headers, so claims beyond the end are found before
// reading. A group with many megabytes of arrays is read by position, in
// parallel; a smaller one in order through the buffer.
std::optional<Damage> readGroupDataByPosition(ByteReader& reader, MeshGroup& group, const ReadOptions& options) {
  // Where each mesh's arrays sit; the first that passes the file's end is the damage.
  struct ArrayPlaces {
    std::uint64_t vertices;
    std::uint64_t indices;
  };
  std::vector<ArrayPlaces> places;
  places.reserve(group.meshes.size());
  std::uint64_t at = reader.offset();
  const std::uint64_t end = at + *reader.bytesLeft();
  std::uint64_t slotBytes = 0;
  for (const MeshRecord& mesh : group.meshes) {
    const std::uint64_t vertexBytes = std::uint64_t(mesh.vertexCount) * std::uint64_t(mesh.vertexSize);
    if (vertexBytes > end - at) return Damage{"vertex records cut short", at};
    const std::uint64_t indexAt = at + vertexBytes;
    const std::uint64_t indexBytes = 2 * std::uint64_t(mesh.indexCount);
    if (indexBytes > end - indexAt) return Damage{"index array cut short", indexAt};
    places.push_back({at, indexAt});
    at = indexAt + indexBytes;
    slotBytes += std::uint64_t(mesh.vertexCount) * mesh.recordBytes() + indexBytes + 2 * ArrayArena::kAlignment;
  }
  for (std::size_t m = 0; m < group.meshes.size(); ++m) {
    group.meshes[m].vertexOffset = places[m].vertices;
    group.meshes[m].indexOffset = places[m].indices;
  }

  if (options.skipArrays) {
    reader.jumpTo(at);
    return std::nullopt;
  }
  if (slotBytes < options.parallelReadBytes) {
    for (MeshRecord& mesh : group.meshes) {
      if (auto damage = readMeshDataInOrder(reader, mesh, true)) return damage;
    }
    return std::nullopt;
  }

  const std::size_t threads =
      options.readThreads > 0 ? options.readThreads : std::min<std::size_t>(usableProcessorCount(), 4);
  if (!group.meshes.empty() && readGroupAsStored(reader, group, places.front().vertices, at, threads)) {
    reader.jumpTo(at);
    return std::nullopt;
  }

  // The group gets one huge-page block to cut its arrays from.
  {
    const auto arena = std::make_shared<ArrayArena>(static_cast<std::size_t>(slotBytes));
    for (MeshRecord& mesh : group.meshes) {
      mesh.vertices = VertexBytes(ArrayAllocator<std::uint8_t>(arena));
      mesh.indices = IndexArray(ArrayAllocator<std::uint16_t>(arena));
    }
  }

  std::vector<ArrayPiece> pieces;
  std::vector<std::pair<std::uint64_t, MeshRecord*>> slotted;
  for (std::size_t m = 0; m < group.meshes.size(); ++m) {
    MeshRecord& mesh = group.meshes[m];
    const std::uint64_t vertexBytes = std::uint64_t(mesh.vertexCount) * std::uint64_t(mesh.vertexSize);
    if (mesh.recordBytes() == static_cast<std::size_t>(mesh.vertexSize)) {
      mesh.vertices.resize(static_cast<std::size_t>(vertexBytes));
      pieces.push_back({places[m].vertices, mesh.vertices.data(), static_cast<std::size_t>(vertexBytes),
                        "vertex records cut short", places[m].vertices});
    } else {
      slotted.emplace_back(places[m].vertices, &mesh);
    }
    mesh.indices.resize(static_cast<std::size_t>(mesh.indexCount));
    pieces.push_back({places[m].indices, reinterpret_cast<std::uint8_t*>(mesh.indices.data()),
                      2 * static_cast<std::size_t>(mesh.indexCount), "index array cut short", places[m].indices});
  }

  if (auto damage = readPieces(reader, pieces, threads)) return damage;
  for (auto& [start, mesh] : slotted) {
    std::uint64_t position = start;
    const bool complete = readRecordHeads(
        *mesh, true,
        [&](std::uint8_t* destination, std::size_t count) {
          const bool read = reader.readAt(position, destination, count);
          position += count;
          return read;
        },
        [&](std::size_t count) {
          position += count;
          return true;  // inside the file: checked above
        });
    if (!complete) return Damage{"vertex records cut short", start};
  }
  for (MeshRecord& mesh : group.meshes) indicesFromLittleEndian(mesh.indices);
  reader.jumpTo(at);
  return std::nullopt;
}

std::optional<Damage> readGroup(ByteReader& reader, MeshGroup& group, const ReadOptions& options) {
  const std::uint64_t countOffset = reader.offset();
  if (!reader.readInt32(group.meshCount)) return Damage{"mesh count cut short", countOffset};
  if (group.meshCount < 0) return Damage{"negative mesh count", countOffset};

  // All headers of a group come before all of its data.
  reserveForClaim(group.meshes, group.meshCount);
  for (std::int32_t m = 0; m < group.meshCount; ++m) {
    MeshRecord& mesh = group.meshes.emplace_back();
    if (auto damage = readMeshHeader(reader, mesh)) return damage;
  }
  if (reader.bytesLeft()) return readGroupDataByPosition(reader, group, options);
  for (MeshRecord& mesh : group.meshes) {
    if (auto damage = readMeshDataInOrder(reader, mesh, false)) return damage;
  }
  return std::nullopt;
}

std::optional<Damage> readWholeFile(ByteReader& reader, MeshSet& set, const ReadOptions& options) {
  std::int32_t version = 0;
  if (!reader.readInt32(version)) return Damage{"version cut short", 0};
  const std::uint64_t headerBlockLength = version == 10 ? 29 : version == 9 ? 28 : 0;
  if (!reader.skip(headerBlockLength)) return Damage{"header block cut short", 4};

  std::int32_t blockCount = 0;
  const std::uint64_t blockCountOffset = reader.offset();
  if (!reader.readInt32(blockCount)) return Damage{"block count cut short", blockCountOffset};
  for (std::int32_t b = 0; b < blockCount; ++b) {
    std::int32_t length = 0;
    const std::uint64_t blockOffset = reader.offset();
    if (!reader.readInt32(length)) return Damage{"opaque block cut short", blockOffset};
    if (length > 0 && !reader.skip(std::uint64_t(length))) return Damage{"opaque block cut short", blockOffset};
  }

  const std::uint64_t groupCountOffset = reader.offset();
  if (!reader.readInt32(set.groupCount)) return Damage{"group count cut short", groupCountOffset};
  if (set.groupCount < 0) return Damage{"negative group count", groupCountOffset};
  reserveForClaim(set.groups, set.groupCount);
  for (std::int32_t g = 0; g < set.groupCount; ++g) {
    if (auto damage = readGroup(reader, set.groups.emplace_back(), options)) return damage;
  }
  // Bytes after the last group are never read.
  return std::nullopt;
}

}  // namespace

std::int32_t vertexStrideFor(std::int32_t formatCode, std::int32_t vertexSize) {
  return formatCode == kFormatCode40ByteSlots ? kSampledVertexStride : vertexSize;
}

std::int32_t formatKindFor(std::int32_t formatCode) {
  return formatCode == kFormatCode40ByteSlots || formatCode == kFormatCodeVertexSized ? 2 : 0;
}

Result readMeshSet(ByteReader& reader, MeshSet& set, const ReadOptions& options) {
  const std::optional<Damage> damage = readWholeFile(reader, set, options);
  if (!damage && !reader.readError()) return {};
  // A refused file leaves nothing half-filled behind.
  set.groupCount = 0;
  set.groups.clear();
  if (reader.readError()) return {Status::ReadError, "read error", reader.offset()};
  return {Status::Damaged, damage->problem, damage->offset};
}

}  // namespace lumivex
