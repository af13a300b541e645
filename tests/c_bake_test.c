/* The baker's C interface from a C99 program: a floor under a sun, lit as
 * physics says; refusals and stops as results. Exit 0 when all hold. */
#include <lumivex/bake_c.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#define SIZE 16

static int failures = 0;

static void check(int condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

static int stop_at_once(void* user, double fraction) {
  (void)user;
  (void)fraction;
  return 1;
}

int main(void) {
  /* A unit floor facing up, laid out over the whole lightmap (u = x, v = z). */
  static const float positions[] = {0, 0, 0, 0, 0, 1, 1, 0, 1, 1, 0, 0};
  static const float normals[] = {0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0};
  static const float uvs[] = {0, 0, 0, 1, 1, 1, 1, 0};
  static const uint32_t indices[] = {0, 1, 2, 0, 2, 3};
  lumivex_mesh_arrays floor_mesh = {0};
  floor_mesh.vertex_count = 4;
  floor_mesh.positions = positions;
  floor_mesh.normals = normals;
  floor_mesh.lightmap_uvs = uvs;
  floor_mesh.indices32 = indices;
  floor_mesh.index_count = 6;

  static float rgb[3 * SIZE * SIZE];
  static uint8_t valid[SIZE * SIZE];
  lumivex_bake_options options = lumivex_bake_options_defaults();
  check(options.rays == 64 && options.dilate == 2 && options.sky_zenith.x == 1.0f, "defaults");
  options.sun_direction.x = 1.0f; /* (1, 1, 0): 45 degrees up */
  options.sun_intensity = 2.0f;
  options.sky_zenith.x = options.sky_zenith.y = options.sky_zenith.z = 0.0f;
  options.sky_horizon = options.sky_zenith;
  options.rays = 4;
  lumivex_bake_stats stats;
  lumivex_result result = lumivex_bake_lightmap(&floor_mesh, 1, SIZE, SIZE, &options, rgb, valid, &stats);
  check(result.status == LUMIVEX_OK, "a floor under a sun bakes");
  check(stats.covered_texels == SIZE * SIZE && stats.invalid_texels == 0, "every texel covered and valid");
  for (int texel = 0; texel < SIZE * SIZE; ++texel) {
    check(fabsf(rgb[3 * texel] - 2.0f * sqrtf(0.5f)) < 1e-5f && valid[texel] == 1, "intensity times cosine");
  }

  check(lumivex_bake_lightmap(&floor_mesh, 1, SIZE, SIZE, &options, NULL, valid, NULL).status ==
            LUMIVEX_INVALID_ARGUMENT, "no rgb array");
  check(lumivex_bake_lightmap(NULL, 1, SIZE, SIZE, &options, rgb, NULL, NULL).status == LUMIVEX_INVALID_ARGUMENT,
        "no meshes");
  lumivex_bake_options refused = options;
  refused.rays = 0;
  result = lumivex_bake_lightmap(&floor_mesh, 1, SIZE, SIZE, &refused, rgb, NULL, NULL);
  char reason[64];
  lumivex_reason(result, reason, sizeof reason);
  check(result.status == LUMIVEX_INVALID_ARGUMENT && reason[0] == 'r', "no rays, named");
  check(lumivex_bake_lightmap(&floor_mesh, 1, 0, SIZE, &options, rgb, NULL, NULL).status == LUMIVEX_INVALID_ARGUMENT,
        "a width of 0");

  lumivex_bake_options stopping = options;
  stopping.progress = stop_at_once;
  check(lumivex_bake_lightmap(&floor_mesh, 1, SIZE, SIZE, &stopping, rgb, NULL, NULL).status == LUMIVEX_CANCELLED,
        "a progress callback that stops");
  lumivex_cancel_flag* flag = lumivex_cancel_flag_create();
  lumivex_cancel_flag_set(flag);
  stopping = options;
  stopping.cancel = flag;
  check(lumivex_bake_lightmap(&floor_mesh, 1, SIZE, SIZE, &stopping, rgb, NULL, NULL).status == LUMIVEX_CANCELLED,
        "a cancel flag set");
  lumivex_cancel_flag_free(flag);

  if (failures == 0) printf("all baker checks hold\n");
  return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
