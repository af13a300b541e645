/* The reference baker from C (C99): liblumivex-bake, beside liblumivex.
 *
 * Takes the meshes as lumivex_mesh_arrays (lumivex_c.h), samples them at
 * texel centres and bakes light into arrays the caller owns. Nothing is
 * printed, nothing thrown; every call returns a lumivex_result. */
#ifndef LUMIVEX_BAKE_C_H
#define LUMIVEX_BAKE_C_H

#include "lumivex/lumivex_c.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lumivex_bake_options {
  int ambient_occlusion;                        /* the image is the occlusion term alone (0) */
  float ao_distance;                            /* how far occluders count; 0: a quarter of the diagonal */
  lumivex_vector3 sun_direction;                /* toward the sun (0, 1, 0) */
  float sun_intensity;                          /* I x cos(angle) where unblocked; 0: no sun (0) */
  lumivex_vector3 sky_zenith;                   /* an open upward surface's light from the sky (1, 1, 1) */
  lumivex_vector3 sky_horizon;                  /* the sky at the horizon (1, 1, 1) */
  lumivex_vector3 up;                           /* up for the sky (0, 1, 0) */
  uint32_t rays;                                /* per texel, 1 to 65536 (64) */
  uint32_t bounces;                             /* diffuse interreflections, 0 to 16 (0) */
  float albedo;                                 /* share reflected, 0 to 1 (0.5) */
  uint64_t seed;                                /* of the hashed random numbers (0) */
  float invalid_back_face_share;                /* back-face hits past this share: invalid (0.5) */
  uint32_t dilate;                              /* rings filled around the charts, 0 to 64 (2) */
  size_t threads;                               /* at most; 0: as many as the process may run on */
  int (*progress)(void* user, double fraction); /* now and then; non-zero stops the bake; NULL: none */
  void* user;                                   /* passed to progress */
  const lumivex_cancel_flag* cancel;            /* NULL: none */
} lumivex_bake_options;
LUMIVEX_C_API lumivex_bake_options lumivex_bake_options_defaults(void);

typedef struct lumivex_bake_stats {
  uint64_t covered_texels; /* texels with a sample */
  uint64_t invalid_texels; /* covered texels that saw mostly back faces */
  uint64_t filled_texels;  /* invalid texels given their neighbours' value */
  uint64_t dilated_texels; /* uncovered texels filled around the charts */
  uint64_t rays;           /* rays traced */
} lumivex_bake_stats;

/* Samples the meshes at texel centres into width x height texels (each 1
 * to 16384) and bakes them: `rgb` receives 3 floats per texel, row-major
 * (linear irradiance, or the occlusion term), `valid` (may be NULL) 1 byte
 * per texel, 1 where a texel was baked from its own sample; `stats` may be
 * NULL. options may be NULL (the defaults). The arrays are written only on
 * success. */
LUMIVEX_C_API lumivex_result lumivex_bake_lightmap(const lumivex_mesh_arrays* meshes, size_t count, int32_t width,
                                                   int32_t height, const lumivex_bake_options* options, float* rgb,
                                                   uint8_t* valid, lumivex_bake_stats* stats);

#ifdef __cplusplus
}
#endif

#endif
