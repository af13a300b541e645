#pragma once
// What the C interfaces share: the handles' contents, results turned into C,
// the caller's C arrays turned into MeshArrays, callbacks that may stop, and
// the guard that keeps exceptions inside. Header-only, so that each library
// holding a C interface (liblumivex, liblumivex-bake) has its own copy.

#include <lumivex/layout.h>
#include <lumivex/lumivex.h>
#include <lumivex/lumivex_c.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <limits>
#include <new>
#include <span>
#include <vector>

struct lumivex_grid {
  lumivex::SampleGrid grid;
};
struct lumivex_mesh_file {
  lumivex::MeshFile file;
};
struct lumivex_layout {
  lumivex::GeneratedLayout layout;
};
struct lumivex_cancel_flag {
  std::atomic<bool> set{false};
};

namespace lumivex::c_glue {

using lumivex::Result;
using lumivex::Status;

inline lumivex_result toC(const Result& result) {
  return {static_cast<lumivex_status>(result.status), result.problem, result.offset, result.mesh};
}

inline lumivex_result invalid(const char* problem, std::uint64_t mesh = 0) {
  return {LUMIVEX_INVALID_ARGUMENT, problem, mesh, mesh};
}

// Thrown from a callback that asked to stop; the library takes any exception
// from a callback as a cancel.
struct StopRequested {};

inline std::function<void(double)> progressOf(int (*progress)(void*, double), void* user) {
  if (progress == nullptr) return {};
  return [progress, user](double fraction) {
    if (progress(user, fraction) != 0) throw StopRequested{};
  };
}

inline std::function<void()> callbackOf(int (*callback)(void*), void* user) {
  if (callback == nullptr) return {};
  return [callback, user] {
    if (callback(user) != 0) throw StopRequested{};
  };
}

// Floats spanned by `count` attributes of `components` floats, `stride`
// bytes apart (0: packed), from the first one's start to the last one's end;
// false when that does not fit in memory.
inline bool spannedFloats(std::size_t count, std::size_t stride, std::size_t components, std::size_t& floats) {
  if (count == 0) {
    floats = 0;
    return true;
  }
  if (stride == 0) stride = 4 * components;
  if (count - 1 > (std::numeric_limits<std::size_t>::max() - 4 * components) / stride) return false;
  floats = ((count - 1) * stride) / 4 + components;
  return true;
}

inline lumivex_result arraysOf(const lumivex_mesh_arrays& c, std::size_t position, lumivex::MeshArrays& arrays) {
  arrays = {};
  if (c.vertices != nullptr) {
    arrays.vertices = {reinterpret_cast<const lumivex::Vertex*>(c.vertices), c.vertex_count};
  } else {
    struct Attribute {
      const float* values;
      std::size_t stride;
      std::size_t components;
      std::span<const float>* span;
      const char* missing;
    };
    const Attribute attributes[] = {
        {c.positions, c.position_stride, 3, &arrays.positions, "positions: NULL for a mesh with vertices"},
        {c.normals, c.normal_stride, 3, &arrays.normals, "normals: NULL for a mesh with vertices"},
        {c.lightmap_uvs, c.lightmap_uv_stride, 2, &arrays.lightmapUvs, "lightmap_uvs: NULL for a mesh with vertices"}};
    for (const Attribute& attribute : attributes) {
      std::size_t floats = 0;
      if (!spannedFloats(c.vertex_count, attribute.stride, attribute.components, floats)) {
        return invalid("vertex_count: more than memory holds", position);
      }
      if (attribute.values == nullptr) {
        // Left out: the C++ checks say which attributes a call needs.
        if (floats > 0 && attribute.span == &arrays.positions) return invalid(attribute.missing, position);
        continue;
      }
      *attribute.span = {attribute.values, floats};
    }
    arrays.positionStride = c.position_stride;
    arrays.normalStride = c.normal_stride;
    arrays.lightmapUvStride = c.lightmap_uv_stride;
  }
  if (c.index_count > 0 && c.indices16 == nullptr && c.indices32 == nullptr) {
    return invalid("indices: NULL with index_count above 0", position);
  }
  if (c.indices16 != nullptr) arrays.indices16 = {c.indices16, c.index_count};
  if (c.indices32 != nullptr) arrays.indices32 = {c.indices32, c.index_count};
  return {};
}

inline lumivex_result allArraysOf(const lumivex_mesh_arrays* meshes, std::size_t count, std::vector<lumivex::MeshArrays>& out) {
  if (meshes == nullptr && count > 0) return invalid("meshes: NULL with count above 0");
  out.resize(count);
  for (std::size_t m = 0; m < count; ++m) {
    if (const lumivex_result r = arraysOf(meshes[m], m, out[m]); r.status != LUMIVEX_OK) return r;
  }
  return {};
}

inline const lumivex_result kOutOfMemory = {LUMIVEX_OUT_OF_MEMORY, "out of memory", 0, 0};

// Guards code that allocates: out of memory is a result, never an exception.
template <typename Call>
lumivex_result guarded(Call&& call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return {LUMIVEX_INVALID_ARGUMENT, "unexpected failure", 0, 0};
  }
}

}  // namespace lumivex::c_glue
