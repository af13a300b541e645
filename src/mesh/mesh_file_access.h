#pragma once
// The library's own view of a MeshFile: the loaded set behind it.

#include <lumivex/lumivex.h>

#include <memory>
#include <vector>

#include "mesh/mesh_set.h"

namespace lumivex {

struct MeshFile::Data {
  MeshSet set;
  std::vector<std::vector<MeshView>> views;  // one per group, over `set`
};

// A file opened for reading a mesh from: descriptor -1 when it cannot be
// opened or is a folder. Closed with the object.
struct OpenFile {
  explicit OpenFile(const char* path);
  ~OpenFile();
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  int descriptor = -1;
};

struct MeshFileAccess {
  static std::unique_ptr<MeshFile::Data>& data(MeshFile& file) { return file.data_; }
  static const MeshFile::Data* data(const MeshFile& file) { return file.data_.get(); }
};

}  // namespace lumivex
