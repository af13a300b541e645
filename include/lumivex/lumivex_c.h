/*
 * Lumivex from C (C99 and later) and from any language that calls C: the
 * whole library (mesh files, sampling with every option, samples files,
 * lightmap layouts and their check) behind opaque handles and plain
 * structures. The C++ interface in lumivex.h and layout.h documents each
 * function at length; this header says what differs.
 *
 * Rules:
 * - Every function that can fail returns a lumivex_result: a status, a short
 *   static problem text ("" when LUMIVEX_OK) and, where it applies, a byte
 *   offset or an element, and the position of the mesh concerned.
 *   lumivex_reason() gives the text the command prints.
 * - Nothing prints, exits, or lets an exception out; running out of memory
 *   is LUMIVEX_OUT_OF_MEMORY.
 * - A handle a function gives back (lumivex_grid, lumivex_mesh_file,
 *   lumivex_layout, lumivex_cancel_flag) belongs to the caller, who frees it
 *   with its _free function (NULL is fine there). An output handle is
 *   written only on success; on failure it is set to NULL.
 * - Pointers into a handle (samples, ids, mesh views, layout arrays) stay
 *   valid until the handle is freed.
 * - Options structures are filled with their _defaults() function first, so
 *   that fields added later keep their defaults.
 * - Callbacks return 0 to go on; any other value stops the call, which then
 *   returns LUMIVEX_CANCELLED. They are called from one thread at a time.
 */
#ifndef LUMIVEX_LUMIVEX_C_H
#define LUMIVEX_LUMIVEX_C_H

#include <stddef.h>
#include <stdint.h>

#if defined(LUMIVEX_BUILDING_SHARED)
#define LUMIVEX_C_API __attribute__((visibility("default")))
#else
#define LUMIVEX_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------ results */

typedef enum lumivex_status {
  LUMIVEX_OK = 0,
  LUMIVEX_CANNOT_OPEN = 1,      /* missing, unreadable, or a folder */
  LUMIVEX_DAMAGED = 2,          /* cut short, or a count or length no valid file has */
  LUMIVEX_READ_ERROR = 3,       /* the system failed to read the file */
  LUMIVEX_INVALID_ARGUMENT = 4, /* an argument breaks the rules stated for it */
  LUMIVEX_OUT_OF_MEMORY = 5,
  LUMIVEX_CANCELLED = 6,        /* the cancel flag was set, or a callback asked to stop */
  LUMIVEX_CANNOT_WRITE = 7,     /* an output file could not be written completely */
  LUMIVEX_DOES_NOT_FIT = 8      /* a layout's charts do not fit the lightmap */
} lumivex_status;

typedef struct lumivex_result {
  lumivex_status status;
  const char* problem; /* static text: "index array cut short"; "" when LUMIVEX_OK */
  uint64_t offset;     /* byte offset (damaged files, read errors) or the offending element */
  uint64_t mesh;       /* the mesh's position, for arrays of one of several meshes */
} lumivex_result;

/* The reason as the command prints it ("index array cut short at byte 208"),
 * written into `text` (capacity bytes, always ended with a NUL when capacity
 * is not 0). Returns the reason's length, which may exceed capacity - 1. */
LUMIVEX_C_API size_t lumivex_reason(lumivex_result result, char* text, size_t capacity);

/* "1.2.0": the version of the library the program runs with. */
LUMIVEX_C_API const char* lumivex_version(void);

/* A flag that stops a call running on another thread: create it, pass it in
 * the options, set it from any thread. */
typedef struct lumivex_cancel_flag lumivex_cancel_flag;
LUMIVEX_C_API lumivex_cancel_flag* lumivex_cancel_flag_create(void); /* NULL when out of memory */
LUMIVEX_C_API void lumivex_cancel_flag_set(lumivex_cancel_flag* flag);
LUMIVEX_C_API void lumivex_cancel_flag_free(lumivex_cancel_flag* flag);

/* ------------------------------------------------------------ values */

typedef struct lumivex_vector3 {
  float x, y, z;
} lumivex_vector3;

/* The 40-byte vertex record: position, normal, first UV pair, lightmap UV. */
typedef struct lumivex_vertex {
  lumivex_vector3 position;
  lumivex_vector3 normal;
  float uv[2];
  float lightmap_u;
  float lightmap_v;
} lumivex_vertex;

/* One texel: position, then unit normal; six +0.0 where nothing covers it. */
typedef struct lumivex_sample {
  lumivex_vector3 position;
  lumivex_vector3 normal;
} lumivex_sample;

#define LUMIVEX_NO_TRIANGLE 0xFFFFFFFFu /* ids of a texel nothing covers */
#define LUMIVEX_NO_CHART 0xFFFFFFFFu    /* chart of a triangle of no area */

/* A mesh held by the caller: 40-byte records (vertices), or positions,
 * normals and lightmap UVs each `stride` bytes from vertex to vertex (0:
 * packed: 12, 12 and 8), any of them possibly views into one interleaved
 * buffer; and triangles as index_count 16- or 32-bit entries. Give one
 * vertex form and one index form. */
typedef struct lumivex_mesh_arrays {
  size_t vertex_count;
  const lumivex_vertex* vertices;
  const float* positions;
  size_t position_stride;
  const float* normals;
  size_t normal_stride;
  const float* lightmap_uvs;
  size_t lightmap_uv_stride;
  const uint16_t* indices16;
  const uint32_t* indices32;
  size_t index_count;
} lumivex_mesh_arrays;

/* ------------------------------------------------------------ samples grids */

/* width x height samples, row-major, with the coverage and the channels asked for. */
typedef struct lumivex_grid lumivex_grid;

typedef struct lumivex_sample_stats {
  uint64_t covered_texels;
  uint64_t zero_normals;       /* covered texels whose normal is zero */
  uint64_t non_finite_normals; /* covered texels with a NaN or infinite normal component */
  uint64_t small_triangles_placed;
} lumivex_sample_stats;

LUMIVEX_C_API void lumivex_grid_free(lumivex_grid* grid);
LUMIVEX_C_API int32_t lumivex_grid_width(const lumivex_grid* grid);
LUMIVEX_C_API int32_t lumivex_grid_height(const lumivex_grid* grid);
/* width x height samples: texel (col, row) is [row * width + col]. */
LUMIVEX_C_API const lumivex_sample* lumivex_grid_samples(const lumivex_grid* grid);
/* 1 where a triangle wrote the texel (for a grid read from a file: where its
 * six values are not all +0.0), 0 elsewhere and outside the grid. */
LUMIVEX_C_API int lumivex_grid_covered(const lumivex_grid* grid, int32_t col, int32_t row);
/* One byte per texel, row-major, 1 covered and 0 not; writes min(count, texels) bytes. */
LUMIVEX_C_API void lumivex_grid_copy_coverage(const lumivex_grid* grid, uint8_t* mask, size_t count);
/* The channels, one (ids) or two (barycentrics: w1, w2) values per texel,
 * row-major; NULL unless asked for when sampling. */
LUMIVEX_C_API const uint32_t* lumivex_grid_triangle_ids(const lumivex_grid* grid);
LUMIVEX_C_API const uint32_t* lumivex_grid_mesh_ids(const lumivex_grid* grid);
LUMIVEX_C_API const float* lumivex_grid_barycentrics(const lumivex_grid* grid);
LUMIVEX_C_API lumivex_sample_stats lumivex_grid_stats(const lumivex_grid* grid);

/* Samples files: written complete or not at all; read at any width and height. */
LUMIVEX_C_API lumivex_result lumivex_write_samples_file(const char* path, const lumivex_grid* grid);
LUMIVEX_C_API lumivex_result lumivex_read_samples_file(const char* path, lumivex_grid** grid);
/* Any file, written the same way (complete or not at all). */
LUMIVEX_C_API lumivex_result lumivex_write_whole_file(const char* path, const void* bytes, size_t count);

/* ------------------------------------------------------------ mesh files */

typedef struct lumivex_mesh_file lumivex_mesh_file;

typedef struct lumivex_load_options {
  int (*opened)(void* user); /* once the file is open, before it is read; NULL: none */
  int (*loaded)(void* user); /* once the whole file is found sound; NULL: none */
  void* user;                /* passed to the callbacks */
  size_t threads;            /* threads reading a large group; 0: as many as may run, up to 4 */
  const struct lumivex_cancel_flag* cancel; /* stops the reading; NULL: none */
} lumivex_load_options;
LUMIVEX_C_API lumivex_load_options lumivex_load_options_defaults(void);

/* One mesh of a loaded file, as the file holds it. */
typedef struct lumivex_mesh_view {
  int32_t vertex_size;
  int32_t vertex_stride; /* 40 for format code 1041, otherwise vertex_size */
  int32_t format_kind;   /* 2 for format codes 1041 and 9233, otherwise 0 */
  int32_t vertex_count;
  int32_t index_count;
  int sampled;                   /* 1 when its slots are 40 bytes: the sampler reads it */
  size_t record_bytes;           /* bytes per record in vertex_records */
  const uint8_t* vertex_records; /* vertex_count x record_bytes bytes, little-endian */
  const uint16_t* indices;       /* index_entries entries, native byte order */
  size_t index_entries;
} lumivex_mesh_view;

/* options may be NULL (the defaults). */
LUMIVEX_C_API lumivex_result lumivex_load_mesh_file(const char* path, const lumivex_load_options* options,
                                                    lumivex_mesh_file** file);
LUMIVEX_C_API lumivex_result lumivex_load_mesh_file_from_memory(const void* bytes, size_t count,
                                                                const lumivex_load_options* options,
                                                                lumivex_mesh_file** file);
LUMIVEX_C_API void lumivex_mesh_file_free(lumivex_mesh_file* file);
LUMIVEX_C_API int32_t lumivex_mesh_file_group_count(const lumivex_mesh_file* file);
/* Meshes in group `group`; 0 for a group that does not exist. */
LUMIVEX_C_API size_t lumivex_mesh_file_mesh_count(const lumivex_mesh_file* file, size_t group);
/* Fills `view` and returns 1, or returns 0 when there is no such mesh. */
LUMIVEX_C_API int lumivex_mesh_file_mesh(const lumivex_mesh_file* file, size_t group, size_t mesh,
                                         lumivex_mesh_view* view);
/* Vertex k of a mesh as the sampler reads it (the first 40 bytes of its record). */
LUMIVEX_C_API lumivex_vertex lumivex_mesh_view_vertex(const lumivex_mesh_view* view, size_t k);

/* ------------------------------------------------------------ sampling */

typedef enum lumivex_sample_point {
  LUMIVEX_SAMPLE_CORNER = 0, /* (col, row): what the lumivex command writes */
  LUMIVEX_SAMPLE_CENTRE = 1  /* (col + 1/2, row + 1/2) */
} lumivex_sample_point;

typedef struct lumivex_sample_options {
  size_t threads;                               /* at most; 0: as many as the process may run on */
  int (*progress)(void* user, double fraction); /* now and then, and with 1 at the end; NULL: none */
  void* user;                                   /* passed to progress */
  const lumivex_cancel_flag* cancel;            /* NULL: none */
  lumivex_sample_point sample_point;            /* LUMIVEX_SAMPLE_CORNER */
  int ids;                                      /* record triangle and mesh ids (0) */
  int barycentrics;                             /* record barycentric weights (0) */
  int cover_small_triangles;                    /* a centroid sample for triangles holding no sample point (0) */
} lumivex_sample_options;
LUMIVEX_C_API lumivex_sample_options lumivex_sample_options_defaults(void);

/* Samples the meshes, in order, into a new width x height grid (each 1 to
 * 16384). options may be NULL (the defaults). */
LUMIVEX_C_API lumivex_result lumivex_sample_meshes(const lumivex_mesh_arrays* meshes, size_t count, int32_t width,
                                                   int32_t height, const lumivex_sample_options* options,
                                                   lumivex_grid** grid);
/* The first group of a loaded file, exactly as the command samples it (with
 * the default options at its sizes). */
LUMIVEX_C_API lumivex_result lumivex_sample_first_group(const lumivex_mesh_file* file, int32_t width, int32_t height,
                                                        const lumivex_sample_options* options, lumivex_grid** grid);
/* The same from a path, without holding the file in memory. */
LUMIVEX_C_API lumivex_result lumivex_sample_mesh_file(const char* path, int32_t width, int32_t height,
                                                      const lumivex_load_options* load,
                                                      const lumivex_sample_options* options, lumivex_grid** grid);

/* ------------------------------------------------------------ layouts */

typedef struct lumivex_layout_options {
  int32_t size;                                 /* the lightmap's edge, 1 to 16384 (512) */
  int32_t padding;                              /* texels between charts and from the border, 0 to 64 (2) */
  double texels_per_unit;                       /* 0: the largest density that fits (0) */
  double max_chart_angle;                       /* degrees, 1 to 90 (60) */
  size_t threads;                               /* 0: as many as the process may run on */
  int (*progress)(void* user, double fraction); /* NULL: none */
  void* user;
  const lumivex_cancel_flag* cancel;
} lumivex_layout_options;
LUMIVEX_C_API lumivex_layout_options lumivex_layout_options_defaults(void);

typedef struct lumivex_layout lumivex_layout;

/* One mesh's new layout: new vertex i copies input vertex xref[i] and takes
 * the lightmap coordinates lightmap_uvs[2i], [2i + 1]; triangles (three new
 * vertex numbers each, the input's triangles in order) and their chart ids. */
typedef struct lumivex_layout_mesh {
  size_t vertex_count;
  const uint32_t* xref;
  const float* lightmap_uvs;
  size_t triangle_count;
  const uint32_t* triangles;
  const uint32_t* chart_ids;
} lumivex_layout_mesh;

typedef struct lumivex_layout_summary {
  size_t charts;
  double texels_per_unit;
  double covered_share;
  size_t snapped_vertices;
  size_t unsampled_triangles;
  double unsampled_area_share;
  int32_t size_sampling_all; /* the smallest power-of-two size sampling every face; 0: none */
} lumivex_layout_summary;

/* Lays out `meshes` (positions and indices are read) clear of the texels the
 * `kept` meshes' lightmap UVs cover (kept may be NULL with kept_count 0).
 * options may be NULL (the defaults). */
LUMIVEX_C_API lumivex_result lumivex_generate_lightmap_uvs(const lumivex_mesh_arrays* meshes, size_t count,
                                                           const lumivex_mesh_arrays* kept, size_t kept_count,
                                                           const lumivex_layout_options* options,
                                                           lumivex_layout** layout);
LUMIVEX_C_API void lumivex_layout_free(lumivex_layout* layout);
LUMIVEX_C_API size_t lumivex_layout_mesh_count(const lumivex_layout* layout);
/* Fills `mesh` and returns 1, or returns 0 when there is no such mesh. */
LUMIVEX_C_API int lumivex_layout_get_mesh(const lumivex_layout* layout, size_t index, lumivex_layout_mesh* mesh);
/* The density of a mesh's charts: the summary's, or a multiple of it for a
 * mesh whose faces are too small for it; 0 when there is no such mesh. */
LUMIVEX_C_API double lumivex_layout_mesh_texels_per_unit(const lumivex_layout* layout, size_t index);
LUMIVEX_C_API lumivex_layout_summary lumivex_layout_get_summary(const lumivex_layout* layout);

/* What a layout gives the sampler at one size (see LayoutCounts in layout.h). */
typedef struct lumivex_layout_counts {
  size_t triangles;
  size_t outside;
  size_t zero_area;
  size_t unsampled;
  size_t overlapped_texels;
  size_t covered_texels; /* in the total only */
  double surface_area;
  double unsampled_area;
} lumivex_layout_counts;

/* Checks the meshes' lightmap UVs at `size`: the totals into `total`, and
 * when per_mesh is not NULL one entry per mesh (count of them);
 * size_sampling_all (may be NULL) as in the summary above. */
LUMIVEX_C_API lumivex_result lumivex_check_layout(const lumivex_mesh_arrays* meshes, size_t count, int32_t size,
                                                  lumivex_layout_counts* total, lumivex_layout_counts* per_mesh,
                                                  int32_t* size_sampling_all);

/* A mesh to write into a mesh file: a name (NUL-terminated, at most 1023
 * bytes kept), its arrays and, optionally, the first UV pair (2 floats a vertex). */
typedef struct lumivex_named_mesh {
  const char* name;
  lumivex_mesh_arrays arrays;
  const float* uvs;
} lumivex_named_mesh;

/* Writes a mesh file the lumivex command reads (one group), complete or not at all. */
LUMIVEX_C_API lumivex_result lumivex_write_mesh_file(const char* path, const lumivex_named_mesh* meshes,
                                                     size_t count);

#ifdef __cplusplus
}
#endif

#endif /* LUMIVEX_LUMIVEX_C_H */
