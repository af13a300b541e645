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

struct MeshFileAccess {
  static std::unique_ptr<MeshFile::Data>& data(MeshFile& file) { return file.data_; }
  static const MeshFile::Data* data(const MeshFile& file) { return file.data_.get(); }
};

}  // namespace lumivex
