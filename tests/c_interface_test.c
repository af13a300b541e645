/*
 * The C interface from a C99 program: every refusal as a result with its
 * reason, callbacks and the cancel flag, arrays against files, every
 * channel, layouts written and read back, and NULL handles where a caller
 * may pass them.
 *
 *   c_interface_test EXAMPLE.kvx TEMPORARY_FOLDER
 */
#include <lumivex/lumivex_c.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                 \
  do {                                                                   \
    if (!(condition)) {                                                  \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

static int stop_at_once(void* user, double fraction) {
  (void)fraction;
  ++*(int*)user;
  return 1;
}

static int stop_now(void* user) {
  ++*(int*)user;
  return 1;
}

static char* read_whole(const char* path, size_t* length) {
  FILE* file = fopen(path, "rb");
  char* bytes = NULL;
  long size;
  if (file == NULL) return NULL;
  if (fseek(file, 0, SEEK_END) == 0 && (size = ftell(file)) >= 0 && fseek(file, 0, SEEK_SET) == 0) {
    bytes = (char*)malloc((size_t)size + 1);
    if (bytes != NULL && fread(bytes, 1, (size_t)size, file) != (size_t)size) {
      free(bytes);
      bytes = NULL;
    }
    *length = (size_t)size;
  }
  fclose(file);
  return bytes;
}

/* Refusals: each call gives its status and the reason the command would print. */
static void test_refusals(const char* example, const char* folder) {
  struct {
    const char* label;
    lumivex_status status;
    const char* reason;
  } expected[6];
  lumivex_result results[6];
  lumivex_grid* grid = (lumivex_grid*)&results; /* must be set to NULL on failure */
  lumivex_mesh_arrays mesh;
  const float positions[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  const uint32_t past[3] = {0, 1, 3};
  const char cut[] = "\x0a\x00\x00";
  char missing[512], reason[128];
  size_t length = 0;
  int i;
  char* bytes = read_whole(example, &length);
  lumivex_mesh_file* file = NULL;

  CHECK(bytes != NULL);
  sprintf(missing, "%s/missing.kvx", folder);
  memset(&mesh, 0, sizeof mesh);
  mesh.vertex_count = 3;
  mesh.positions = positions;
  mesh.normals = positions;
  mesh.lightmap_uvs = positions;
  mesh.indices32 = past;
  mesh.index_count = 3;

  results[0] = lumivex_sample_mesh_file(missing, 128, 128, NULL, NULL, &grid);
  expected[0].label = "missing file", expected[0].status = LUMIVEX_CANNOT_OPEN, expected[0].reason = "cannot open the file";
  results[1] = lumivex_load_mesh_file_from_memory(bytes, length - 1, NULL, &file);
  expected[1].label = "cut short", expected[1].status = LUMIVEX_DAMAGED, expected[1].reason = "index array cut short at byte ";
  results[2] = lumivex_load_mesh_file_from_memory(cut, 3, NULL, &file);
  expected[2].label = "no version", expected[2].status = LUMIVEX_DAMAGED, expected[2].reason = "";
  results[3] = lumivex_sample_meshes(&mesh, 1, 0, 128, NULL, &grid);
  expected[3].label = "size", expected[3].status = LUMIVEX_INVALID_ARGUMENT, expected[3].reason = "size: outside 1 to 16384";
  results[4] = lumivex_sample_meshes(&mesh, 1, 64, 64, NULL, &grid);
  expected[4].label = "index", expected[4].status = LUMIVEX_INVALID_ARGUMENT,
  expected[4].reason = "indices: an entry names a vertex past the end of the vertices";
  mesh.positions = NULL;
  results[5] = lumivex_sample_meshes(&mesh, 1, 64, 64, NULL, &grid);
  expected[5].label = "no positions", expected[5].status = LUMIVEX_INVALID_ARGUMENT,
  expected[5].reason = "positions: NULL for a mesh with vertices";
  for (i = 0; i < 6; ++i) {
    lumivex_reason(results[i], reason, sizeof reason);
    if (results[i].status != expected[i].status || strncmp(reason, expected[i].reason, strlen(expected[i].reason)) != 0) {
      fprintf(stderr, "%s: status %d, reason \"%s\"\n", expected[i].label, (int)results[i].status, reason);
      ++failures;
    }
  }
  CHECK(results[4].offset == 2); /* the entry naming vertex 3 */
  CHECK(grid == NULL && file == NULL);
  CHECK(lumivex_reason(results[4], reason, 4) == strlen("indices: an entry names a vertex past the end of the vertices"));
  CHECK(strcmp(reason, "ind") == 0);
  free(bytes);
}

/* Callbacks that ask to stop, and the cancel flag, end calls as cancelled. */
static void test_stopping(const char* example) {
  lumivex_sample_options options = lumivex_sample_options_defaults();
  lumivex_load_options load = lumivex_load_options_defaults();
  lumivex_cancel_flag* flag = lumivex_cancel_flag_create();
  lumivex_grid* grid = NULL;
  int calls = 0;

  options.progress = stop_at_once;
  options.user = &calls;
  CHECK(lumivex_sample_mesh_file(example, 256, 256, NULL, &options, &grid).status == LUMIVEX_CANCELLED);
  CHECK(calls == 1 && grid == NULL);
  load.loaded = stop_now;
  load.user = &calls;
  CHECK(lumivex_sample_mesh_file(example, 256, 256, &load, NULL, &grid).status == LUMIVEX_CANCELLED);
  CHECK(calls == 2);
  options = lumivex_sample_options_defaults();
  options.cancel = flag;
  lumivex_cancel_flag_set(flag);
  CHECK(lumivex_sample_mesh_file(example, 256, 256, NULL, &options, &grid).status == LUMIVEX_CANCELLED);
  lumivex_cancel_flag_free(flag);
}

/* The example's first group handed over as arrays (an interleaved view of
 * 40-byte records) gives what sampling the file gives, in every channel. */
static void test_arrays_equal_the_file(const char* example) {
  lumivex_sample_options options = lumivex_sample_options_defaults();
  lumivex_mesh_file* file = NULL;
  lumivex_grid *from_file = NULL, *from_arrays = NULL;
  lumivex_mesh_arrays meshes[64];
  lumivex_vertex* vertices[64];
  lumivex_mesh_view view;
  size_t count = 0, m, k, texels;
  lumivex_sample_stats stats;

  CHECK(lumivex_load_mesh_file(example, NULL, &file).status == LUMIVEX_OK);
  options.sample_point = LUMIVEX_SAMPLE_CENTRE;
  options.ids = options.barycentrics = 1;
  CHECK(lumivex_sample_first_group(file, 300, 200, &options, &from_file).status == LUMIVEX_OK);
  count = lumivex_mesh_file_mesh_count(file, 0);
  CHECK(count > 1 && count <= 64 && lumivex_mesh_file_mesh_count(file, 7) == 0);
  for (m = 0; m < count && m < 64; ++m) {
    CHECK(lumivex_mesh_file_mesh(file, 0, m, &view) == 1 && view.sampled);
    vertices[m] = (lumivex_vertex*)malloc(sizeof(lumivex_vertex) * (size_t)view.vertex_count);
    for (k = 0; k < (size_t)view.vertex_count; ++k) vertices[m][k] = lumivex_mesh_view_vertex(&view, k);
    memset(&meshes[m], 0, sizeof meshes[m]);
    meshes[m].vertex_count = (size_t)view.vertex_count;
    meshes[m].positions = &vertices[m][0].position.x;
    meshes[m].normals = &vertices[m][0].normal.x;
    meshes[m].lightmap_uvs = &vertices[m][0].lightmap_u;
    meshes[m].position_stride = meshes[m].normal_stride = meshes[m].lightmap_uv_stride = sizeof(lumivex_vertex);
    meshes[m].indices16 = view.indices;
    meshes[m].index_count = view.index_entries;
  }
  CHECK(lumivex_sample_meshes(meshes, count, 300, 200, &options, &from_arrays).status == LUMIVEX_OK);
  texels = 300 * 200;
  CHECK(lumivex_grid_width(from_arrays) == 300 && lumivex_grid_height(from_arrays) == 200);
  CHECK(memcmp(lumivex_grid_samples(from_file), lumivex_grid_samples(from_arrays), texels * sizeof(lumivex_sample)) == 0);
  CHECK(memcmp(lumivex_grid_triangle_ids(from_file), lumivex_grid_triangle_ids(from_arrays), texels * 4) == 0);
  CHECK(memcmp(lumivex_grid_mesh_ids(from_file), lumivex_grid_mesh_ids(from_arrays), texels * 4) == 0);
  CHECK(memcmp(lumivex_grid_barycentrics(from_file), lumivex_grid_barycentrics(from_arrays), texels * 8) == 0);
  stats = lumivex_grid_stats(from_arrays);
  CHECK(stats.covered_texels > texels / 4 && stats.covered_texels < texels);
  CHECK(lumivex_grid_covered(from_arrays, -1, 0) == 0 && lumivex_grid_covered(from_arrays, 300, 0) == 0);
  for (m = 0; m < count && m < 64; ++m) free(vertices[m]);
  lumivex_grid_free(from_file);
  lumivex_grid_free(from_arrays);
  lumivex_mesh_file_free(file);
}

/* A tube without lightmap UVs laid out, checked clean, written as a mesh
 * file, read back and sampled. */
static void test_layouts(const char* folder) {
  enum { kColumns = 16, kRows = 4 };
  float positions[(kRows + 1) * kColumns * 3];
  uint32_t indices[kRows * kColumns * 6];
  lumivex_mesh_arrays tube, laid;
  lumivex_layout* layout = NULL;
  lumivex_layout_mesh mesh;
  lumivex_layout_counts total, per_mesh[1];
  lumivex_named_mesh named;
  lumivex_grid* grid = NULL;
  float* laid_positions;
  float* normals;
  int32_t sampling_all = -1;
  char path[512];
  size_t i, j, n = 0;

  for (j = 0; j <= kRows; ++j) {
    for (i = 0; i < kColumns; ++i) {
      const double angle = 6.283185307179586 * (double)i / kColumns;
      positions[3 * (j * kColumns + i)] = (float)cos(angle);
      positions[3 * (j * kColumns + i) + 1] = (float)sin(angle);
      positions[3 * (j * kColumns + i) + 2] = 0.5f * (float)j;
      if (j < kRows) {
        const uint32_t a = (uint32_t)(j * kColumns + i), b = (uint32_t)(j * kColumns + (i + 1) % kColumns);
        const uint32_t c = b + kColumns, d = a + kColumns;
        indices[n++] = a, indices[n++] = b, indices[n++] = c, indices[n++] = a, indices[n++] = c, indices[n++] = d;
      }
    }
  }
  memset(&tube, 0, sizeof tube);
  tube.vertex_count = (kRows + 1) * kColumns;
  tube.positions = positions;
  tube.indices32 = indices;
  tube.index_count = n;
  CHECK(lumivex_generate_lightmap_uvs(&tube, 1, NULL, 0, NULL, &layout).status == LUMIVEX_OK);
  CHECK(lumivex_layout_mesh_count(layout) == 1 && lumivex_layout_get_mesh(layout, 1, &mesh) == 0);
  CHECK(lumivex_layout_get_mesh(layout, 0, &mesh) == 1 && mesh.triangle_count == n / 3);
  CHECK(lumivex_layout_mesh_texels_per_unit(layout, 0) == lumivex_layout_get_summary(layout).texels_per_unit);
  CHECK(lumivex_layout_mesh_texels_per_unit(layout, 1) == 0.0);
  CHECK(lumivex_layout_get_summary(layout).charts > 0);

  laid_positions = (float*)malloc(sizeof(float) * 3 * mesh.vertex_count);
  normals = (float*)malloc(sizeof(float) * 3 * mesh.vertex_count);
  for (i = 0; i < mesh.vertex_count; ++i) {
    memcpy(&laid_positions[3 * i], &positions[3 * mesh.xref[i]], sizeof(float) * 3);
    normals[3 * i] = laid_positions[3 * i], normals[3 * i + 1] = laid_positions[3 * i + 1], normals[3 * i + 2] = 0;
  }
  memset(&laid, 0, sizeof laid);
  laid.vertex_count = mesh.vertex_count;
  laid.positions = laid_positions;
  laid.normals = normals;
  laid.lightmap_uvs = mesh.lightmap_uvs;
  laid.indices32 = mesh.triangles;
  laid.index_count = 3 * mesh.triangle_count;
  CHECK(lumivex_check_layout(&laid, 1, 512, &total, per_mesh, &sampling_all).status == LUMIVEX_OK);
  CHECK(total.triangles == n / 3 && total.overlapped_texels == 0 && total.outside == 0 && total.unsampled == 0);
  CHECK(per_mesh[0].triangles == total.triangles && sampling_all == 512);

  sprintf(path, "%s/tube.kvx", folder);
  named.name = "tube";
  named.arrays = laid;
  named.uvs = NULL;
  CHECK(lumivex_write_mesh_file(path, &named, 1).status == LUMIVEX_OK);
  CHECK(lumivex_sample_mesh_file(path, 512, 512, NULL, NULL, &grid).status == LUMIVEX_OK);
  CHECK(lumivex_grid_stats(grid).covered_texels == total.covered_texels);
  remove(path);
  free(laid_positions);
  free(normals);
  lumivex_grid_free(grid);
  lumivex_layout_free(layout);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s EXAMPLE.kvx TEMPORARY_FOLDER\n", argv[0]);
    return 2;
  }
  CHECK(strcmp(lumivex_version(), "1.2.0") == 0);
  /* Freeing nothing, and asking nothing of nothing, is fine. */
  lumivex_grid_free(NULL);
  lumivex_mesh_file_free(NULL);
  lumivex_layout_free(NULL);
  CHECK(lumivex_grid_width(NULL) == 0 && lumivex_grid_samples(NULL) == NULL && lumivex_grid_triangle_ids(NULL) == NULL);
  test_refusals(argv[1], argv[2]);
  test_stopping(argv[1]);
  test_arrays_equal_the_file(argv[1]);
  test_layouts(argv[2]);
  if (failures > 0) fprintf(stderr, "%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
