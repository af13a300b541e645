// The C interface: each function converts its plain structures to the C++
// interface's, calls it, and converts back. Handles own the C++ objects.

#include <lumivex/layout.h>
#include <lumivex/lumivex.h>
#include <lumivex/lumivex_c.h>

#include "api/c_glue.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

// The C structures are the C++ ones, field for field.
static_assert(sizeof(lumivex_vertex) == sizeof(lumivex::Vertex) && offsetof(lumivex_vertex, lightmap_u) ==
                                                                         offsetof(lumivex::Vertex, lightmapU));
static_assert(sizeof(lumivex_sample) == sizeof(lumivex::Sample) &&
              offsetof(lumivex_sample, normal) == offsetof(lumivex::Sample, normal));

using namespace lumivex::c_glue;

namespace {

lumivex::LoadOptions loadOptionsOf(const lumivex_load_options* options) {
  const lumivex_load_options c = options != nullptr ? *options : lumivex_load_options_defaults();
  lumivex::LoadOptions load;
  load.opened = callbackOf(c.opened, c.user);
  load.loaded = callbackOf(c.loaded, c.user);
  load.threads = c.threads;
  load.cancel = c.cancel != nullptr ? &c.cancel->set : nullptr;
  return load;
}

lumivex::SampleOptions sampleOptionsOf(const lumivex_sample_options* options) {
  const lumivex_sample_options c = options != nullptr ? *options : lumivex_sample_options_defaults();
  lumivex::SampleOptions sample;
  sample.threads = c.threads;
  sample.progress = progressOf(c.progress, c.user);
  sample.cancel = c.cancel != nullptr ? &c.cancel->set : nullptr;
  sample.samplePoint = static_cast<lumivex::SamplePoint>(c.sample_point);
  sample.ids = c.ids != 0;
  sample.barycentrics = c.barycentrics != 0;
  sample.coverSmallTriangles = c.cover_small_triangles != 0;
  return sample;
}

// Runs `call` on a new handle of type T, which goes to `out` on success.
template <typename T, typename Call>
lumivex_result intoNewHandle(T** out, Call&& call) {
  if (out == nullptr) return invalid("output handle: NULL");
  *out = nullptr;
  T* handle = new (std::nothrow) T();
  if (handle == nullptr) return kOutOfMemory;
  const lumivex_result result = call(*handle);
  if (result.status != LUMIVEX_OK) {
    delete handle;
    return result;
  }
  *out = handle;
  return result;
}


lumivex_layout_counts countsOf(const lumivex::LayoutCounts& counts) {
  return {counts.triangles,        counts.outside,       counts.zeroArea,    counts.unsampled,
          counts.overlappedTexels, counts.coveredTexels, counts.surfaceArea, counts.unsampledArea};
}

}  // namespace

extern "C" {

size_t lumivex_reason(lumivex_result result, char* text, size_t capacity) {
  std::string reason;
  try {
    reason = lumivex::reason({static_cast<Status>(result.status), result.problem != nullptr ? result.problem : "",
                              result.offset, result.mesh});
  } catch (...) {
    reason = result.problem != nullptr ? result.problem : "";
  }
  if (text != nullptr && capacity > 0) {
    const std::size_t copied = std::min(reason.size(), capacity - 1);
    std::memcpy(text, reason.data(), copied);
    text[copied] = '\0';
  }
  return reason.size();
}

const char* lumivex_version(void) { return lumivex::version(); }

lumivex_cancel_flag* lumivex_cancel_flag_create(void) { return new (std::nothrow) lumivex_cancel_flag(); }
void lumivex_cancel_flag_set(lumivex_cancel_flag* flag) {
  if (flag != nullptr) flag->set.store(true);
}
void lumivex_cancel_flag_free(lumivex_cancel_flag* flag) { delete flag; }

// ---------------------------------------------------------------- grids

void lumivex_grid_free(lumivex_grid* grid) { delete grid; }
int32_t lumivex_grid_width(const lumivex_grid* grid) { return grid != nullptr ? grid->grid.width() : 0; }
int32_t lumivex_grid_height(const lumivex_grid* grid) { return grid != nullptr ? grid->grid.height() : 0; }
const lumivex_sample* lumivex_grid_samples(const lumivex_grid* grid) {
  return grid != nullptr ? reinterpret_cast<const lumivex_sample*>(grid->grid.data()) : nullptr;
}
int lumivex_grid_covered(const lumivex_grid* grid, int32_t col, int32_t row) {
  if (grid == nullptr || col < 0 || row < 0 || col >= grid->grid.width() || row >= grid->grid.height()) return 0;
  return grid->grid.covered(col, row) ? 1 : 0;
}
void lumivex_grid_copy_coverage(const lumivex_grid* grid, uint8_t* mask, size_t count) {
  if (grid != nullptr && mask != nullptr) grid->grid.copyCoverage({mask, count});
}
const uint32_t* lumivex_grid_triangle_ids(const lumivex_grid* grid) {
  return grid != nullptr && !grid->grid.triangleIds().empty() ? grid->grid.triangleIds().data() : nullptr;
}
const uint32_t* lumivex_grid_mesh_ids(const lumivex_grid* grid) {
  return grid != nullptr && !grid->grid.meshIds().empty() ? grid->grid.meshIds().data() : nullptr;
}
const float* lumivex_grid_barycentrics(const lumivex_grid* grid) {
  return grid != nullptr && !grid->grid.barycentrics().empty() ? grid->grid.barycentrics().data() : nullptr;
}
lumivex_sample_stats lumivex_grid_stats(const lumivex_grid* grid) {
  if (grid == nullptr) return {};
  const lumivex::SampleStats stats = grid->grid.stats();
  return {stats.coveredTexels, stats.zeroNormals, stats.nonFiniteNormals, stats.smallTrianglesPlaced};
}

lumivex_result lumivex_write_samples_file(const char* path, const lumivex_grid* grid) {
  if (grid == nullptr) return invalid("grid: NULL");
  return toC(lumivex::writeSamplesFile(path, grid->grid));
}
lumivex_result lumivex_read_samples_file(const char* path, lumivex_grid** grid) {
  return intoNewHandle(grid, [&](lumivex_grid& handle) { return toC(lumivex::readSamplesFile(path, handle.grid)); });
}
lumivex_result lumivex_write_whole_file(const char* path, const void* bytes, size_t count) {
  if (bytes == nullptr && count > 0) return invalid("bytes: NULL with count above 0");
  return toC(lumivex::writeWholeFile(path, {static_cast<const std::uint8_t*>(bytes), count}));
}

// ---------------------------------------------------------------- mesh files

lumivex_load_options lumivex_load_options_defaults(void) { return {nullptr, nullptr, nullptr, 0, nullptr}; }

lumivex_result lumivex_load_mesh_file(const char* path, const lumivex_load_options* options, lumivex_mesh_file** file) {
  return guarded([&] {
    const lumivex::LoadOptions load = loadOptionsOf(options);
    return intoNewHandle(file, [&](lumivex_mesh_file& handle) { return toC(lumivex::loadMeshFile(path, handle.file, load)); });
  });
}
lumivex_result lumivex_load_mesh_file_from_memory(const void* bytes, size_t count, const lumivex_load_options* options,
                                                  lumivex_mesh_file** file) {
  if (bytes == nullptr && count > 0) return invalid("bytes: NULL with count above 0");
  return guarded([&] {
    const lumivex::LoadOptions load = loadOptionsOf(options);
    return intoNewHandle(file, [&](lumivex_mesh_file& handle) {
      return toC(lumivex::loadMeshFileFromMemory({static_cast<const std::uint8_t*>(bytes), count}, handle.file, load));
    });
  });
}
void lumivex_mesh_file_free(lumivex_mesh_file* file) { delete file; }
int32_t lumivex_mesh_file_group_count(const lumivex_mesh_file* file) {
  return file != nullptr ? file->file.groupCount() : 0;
}
size_t lumivex_mesh_file_mesh_count(const lumivex_mesh_file* file, size_t group) {
  return file != nullptr ? file->file.group(group).size() : 0;
}
int lumivex_mesh_file_mesh(const lumivex_mesh_file* file, size_t group, size_t mesh, lumivex_mesh_view* view) {
  if (file == nullptr || view == nullptr || mesh >= file->file.group(group).size()) return 0;
  const lumivex::MeshView& m = file->file.group(group)[mesh];
  *view = {m.vertexSize,   m.vertexStride, m.formatKind,           m.vertexCount,      m.indexCount,
           m.sampled() ? 1 : 0, m.recordBytes, m.vertexRecords.data(), m.indices.data(), m.indices.size()};
  return 1;
}
lumivex_vertex lumivex_mesh_view_vertex(const lumivex_mesh_view* view, size_t k) {
  lumivex_vertex vertex{};
  if (view == nullptr || view->vertex_count <= 0 || k >= static_cast<std::size_t>(view->vertex_count)) return vertex;
  lumivex::MeshView m;
  m.vertexSize = view->vertex_size;
  m.vertexStride = view->vertex_stride;
  m.formatKind = view->format_kind;
  m.vertexCount = view->vertex_count;
  m.recordBytes = view->record_bytes;
  m.vertexRecords = {view->vertex_records, static_cast<std::size_t>(view->vertex_count) * view->record_bytes};
  const lumivex::Vertex read = m.vertex(k);
  std::memcpy(&vertex, &read, sizeof vertex);
  return vertex;
}

// ---------------------------------------------------------------- sampling

lumivex_sample_options lumivex_sample_options_defaults(void) {
  return {0, nullptr, nullptr, nullptr, LUMIVEX_SAMPLE_CORNER, 0, 0, 0};
}

lumivex_result lumivex_sample_meshes(const lumivex_mesh_arrays* meshes, size_t count, int32_t width, int32_t height,
                                     const lumivex_sample_options* options, lumivex_grid** grid) {
  return guarded([&] {
    std::vector<lumivex::MeshArrays> arrays;
    if (const lumivex_result r = allArraysOf(meshes, count, arrays); r.status != LUMIVEX_OK) return r;
    const lumivex::SampleOptions sample = sampleOptionsOf(options);
    return intoNewHandle(grid, [&](lumivex_grid& handle) {
      return toC(lumivex::sampleMeshes(arrays, lumivex::GridSize{width, height}, handle.grid, sample));
    });
  });
}

lumivex_result lumivex_sample_first_group(const lumivex_mesh_file* file, int32_t width, int32_t height,
                                          const lumivex_sample_options* options, lumivex_grid** grid) {
  if (file == nullptr) return invalid("file: NULL");
  return guarded([&] {
    const lumivex::SampleOptions sample = sampleOptionsOf(options);
    return intoNewHandle(grid, [&](lumivex_grid& handle) {
      return toC(lumivex::sampleFirstGroup(file->file, lumivex::GridSize{width, height}, handle.grid, sample));
    });
  });
}

lumivex_result lumivex_sample_mesh_file(const char* path, int32_t width, int32_t height,
                                        const lumivex_load_options* load, const lumivex_sample_options* options,
                                        lumivex_grid** grid) {
  return guarded([&] {
    const lumivex::LoadOptions loadOptions = loadOptionsOf(load);
    const lumivex::SampleOptions sample = sampleOptionsOf(options);
    return intoNewHandle(grid, [&](lumivex_grid& handle) {
      return toC(lumivex::sampleMeshFile(path, lumivex::GridSize{width, height}, handle.grid, loadOptions, sample));
    });
  });
}

// ---------------------------------------------------------------- layouts

lumivex_layout_options lumivex_layout_options_defaults(void) {
  const lumivex::LayoutOptions defaults;
  return {defaults.size, defaults.padding, defaults.texelsPerUnit, defaults.maxChartAngle, 0, nullptr, nullptr, nullptr};
}

lumivex_result lumivex_generate_lightmap_uvs(const lumivex_mesh_arrays* meshes, size_t count,
                                             const lumivex_mesh_arrays* kept, size_t kept_count,
                                             const lumivex_layout_options* options, lumivex_layout** layout) {
  return guarded([&] {
    std::vector<lumivex::MeshArrays> arrays, keptArrays;
    if (const lumivex_result r = allArraysOf(meshes, count, arrays); r.status != LUMIVEX_OK) return r;
    if (const lumivex_result r = allArraysOf(kept, kept_count, keptArrays); r.status != LUMIVEX_OK) return r;
    const lumivex_layout_options c = options != nullptr ? *options : lumivex_layout_options_defaults();
    lumivex::LayoutOptions layoutOptions;
    layoutOptions.size = c.size;
    layoutOptions.padding = c.padding;
    layoutOptions.texelsPerUnit = c.texels_per_unit;
    layoutOptions.maxChartAngle = c.max_chart_angle;
    layoutOptions.threads = c.threads;
    layoutOptions.progress = progressOf(c.progress, c.user);
    layoutOptions.cancel = c.cancel != nullptr ? &c.cancel->set : nullptr;
    return intoNewHandle(layout, [&](lumivex_layout& handle) {
      return toC(lumivex::generateLightmapUvs(arrays, layoutOptions, handle.layout, keptArrays));
    });
  });
}

void lumivex_layout_free(lumivex_layout* layout) { delete layout; }
size_t lumivex_layout_mesh_count(const lumivex_layout* layout) {
  return layout != nullptr ? layout->layout.meshes.size() : 0;
}
int lumivex_layout_get_mesh(const lumivex_layout* layout, size_t index, lumivex_layout_mesh* mesh) {
  if (layout == nullptr || mesh == nullptr || index >= layout->layout.meshes.size()) return 0;
  const lumivex::MeshLayout& m = layout->layout.meshes[index];
  *mesh = {m.xref.size(), m.xref.data(), m.lightmapUvs.data(), m.triangles.size() / 3, m.triangles.data(),
           m.chartIds.data()};
  return 1;
}
double lumivex_layout_mesh_texels_per_unit(const lumivex_layout* layout, size_t index) {
  if (layout == nullptr || index >= layout->layout.meshes.size()) return 0;
  return layout->layout.meshes[index].texelsPerUnit;
}
lumivex_layout_summary lumivex_layout_get_summary(const lumivex_layout* layout) {
  if (layout == nullptr) return {};
  const lumivex::GeneratedLayout& l = layout->layout;
  return {l.charts,          l.texelsPerUnit,      l.coveredShare,   l.snappedVertices,
          l.unsampledTriangles, l.unsampledAreaShare, l.sizeSamplingAll};
}

lumivex_result lumivex_check_layout(const lumivex_mesh_arrays* meshes, size_t count, int32_t size,
                                    lumivex_layout_counts* total, lumivex_layout_counts* per_mesh,
                                    int32_t* size_sampling_all) {
  if (total == nullptr) return invalid("total: NULL");
  return guarded([&] {
    std::vector<lumivex::MeshArrays> arrays;
    if (const lumivex_result r = allArraysOf(meshes, count, arrays); r.status != LUMIVEX_OK) return r;
    lumivex::LayoutReport report;
    const Result checked = lumivex::checkLayout(arrays, size, report);
    if (!checked) return toC(checked);
    *total = countsOf(report.total);
    for (std::size_t m = 0; per_mesh != nullptr && m < report.meshes.size(); ++m) per_mesh[m] = countsOf(report.meshes[m]);
    if (size_sampling_all != nullptr) *size_sampling_all = report.sizeSamplingAll;
    return lumivex_result{};
  });
}

lumivex_result lumivex_write_mesh_file(const char* path, const lumivex_named_mesh* meshes, size_t count) {
  if (meshes == nullptr && count > 0) return invalid("meshes: NULL with count above 0");
  return guarded([&] {
    std::vector<lumivex::NamedMesh> named(count);
    for (std::size_t m = 0; m < count; ++m) {
      if (const lumivex_result r = arraysOf(meshes[m].arrays, m, named[m].arrays); r.status != LUMIVEX_OK) return r;
      named[m].name = meshes[m].name != nullptr ? meshes[m].name : "";
      if (meshes[m].uvs != nullptr) named[m].uvs = {meshes[m].uvs, 2 * meshes[m].arrays.vertex_count};
    }
    return toC(lumivex::writeMeshFile(path, named));
  });
}

}  // extern "C"
