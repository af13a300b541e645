// The public face of the loader: MeshFile, and loading from a path or memory.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "api/guarded.h"
#include "math/little_endian.h"
#include "mesh/byte_reader.h"
#include "mesh/mesh_file_access.h"
#include "mesh/mesh_set.h"

namespace lumivex {

namespace {

// The views handed out, built once the set is complete.
void buildViews(MeshFile::Data& data) {
  data.views.clear();
  data.views.reserve(data.set.groups.size());
  for (const MeshGroup& group : data.set.groups) {
    std::vector<MeshView>& views = data.views.emplace_back();
    views.reserve(group.meshes.size());
    for (const MeshRecord& mesh : group.meshes) {
      MeshView view;
      view.vertexSize = mesh.vertexSize;
      view.vertexStride = mesh.vertexStride;
      view.formatKind = mesh.formatKind;
      view.vertexCount = mesh.vertexCount;
      view.indexCount = mesh.indexCount;
      view.recordBytes = mesh.recordBytes();
      view.vertexRecords = {mesh.vertices.data(), mesh.vertices.size()};
      view.indices = {mesh.indices.data(), mesh.indices.size()};
      views.push_back(view);
    }
  }
}

ReadOptions readOptionsOf(const LoadOptions& options) {
  ReadOptions read;
  read.readThreads = options.threads;
  return read;
}

Result loadFrom(ByteSource& source, MeshFile& file, const LoadOptions& options) {
  auto data = std::make_unique<MeshFile::Data>();
  ByteReader reader(source);
  const Result result = readMeshSet(reader, data->set, readOptionsOf(options));
  if (!result) {
    file = MeshFile();
    return result;
  }
  buildViews(*data);
  MeshFileAccess::data(file) = std::move(data);
  return result;
}

}  // namespace

Vertex MeshView::vertex(std::size_t k) const noexcept {
  std::uint8_t slot[sizeof(Vertex)] = {};
  std::memcpy(slot, vertexRecords.data() + k * recordBytes, std::min(recordBytes, sizeof slot));
  Vertex decoded;
  float* values = &decoded.position.x;
  for (std::size_t c = 0; c < 10; ++c) values[c] = little_endian::loadFloat(slot + 4 * c);
  return decoded;
}

MeshFile::MeshFile() noexcept = default;
MeshFile::~MeshFile() = default;
MeshFile::MeshFile(MeshFile&& other) noexcept = default;
MeshFile& MeshFile::operator=(MeshFile&& other) noexcept = default;

std::int32_t MeshFile::groupCount() const noexcept { return data_ ? data_->set.groupCount : 0; }

std::span<const MeshView> MeshFile::group(std::size_t g) const noexcept {
  if (!data_ || g >= data_->views.size()) return {};
  return data_->views[g];
}

OpenFile::OpenFile(const char* path) {
  const int opened = open(path, O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (opened >= 0 && (fstat(opened, &status) != 0 || S_ISDIR(status.st_mode))) {
    close(opened);
    return;
  }
  descriptor = opened;
}

OpenFile::~OpenFile() {
  if (descriptor >= 0) close(descriptor);
}

Result loadMeshFile(const char* path, MeshFile& file, const LoadOptions& options) noexcept {
  if (isNullPath(path)) return nullPath();
  return guarded([&]() -> Result {
    file = MeshFile();
    const OpenFile opened(path);
    if (opened.descriptor < 0) return {Status::CannotOpen, "cannot open the file"};
    FileDescriptorSource fileSource(opened.descriptor);
    CancellableSource source(fileSource, options.cancel);
    if (!calledBack(options.opened)) return cancelled();
    Result result = loadFrom(source, file, options);
    if (source.cancelled()) {
      file = MeshFile();
      return cancelled();
    }
    if (result && source.changedSinceOpened()) {
      file = MeshFile();
      result = changedWhileRead();
    }
    if (result && !calledBack(options.loaded)) {
      file = MeshFile();
      return cancelled();
    }
    return result;
  });
}

Result loadMeshFileFromMemory(std::span<const std::uint8_t> bytes, MeshFile& file,
                              const LoadOptions& options) noexcept {
  return guarded([&]() -> Result {
    file = MeshFile();
    if (!calledBack(options.opened)) return cancelled();
    MemorySource memory(bytes.data(), bytes.size());
    CancellableSource source(memory, options.cancel);
    const Result result = loadFrom(source, file, options);
    if (source.cancelled()) {
      file = MeshFile();
      return cancelled();
    }
    if (result && !calledBack(options.loaded)) {
      file = MeshFile();
      return cancelled();
    }
    return result;
  });
}

}  // namespace lumivex
