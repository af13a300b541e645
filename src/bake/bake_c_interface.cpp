// The baker's C interface: lumivex_bake_options to BakeOptions, then
// bakeMeshes, copied into the caller's arrays.

#include <lumivex/bake.h>
#include <lumivex/bake_c.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "api/c_glue.h"

using namespace lumivex::c_glue;

namespace {

lumivex::Vector3 vectorOf(lumivex_vector3 v) { return {v.x, v.y, v.z}; }
lumivex_vector3 vectorOf(lumivex::Vector3 v) { return {v.x, v.y, v.z}; }

lumivex::BakeOptions bakeOptionsOf(const lumivex_bake_options& c) {
  lumivex::BakeOptions options;
  options.ambientOcclusion = c.ambient_occlusion != 0;
  options.aoDistance = c.ao_distance;
  options.sunDirection = vectorOf(c.sun_direction);
  options.sunIntensity = c.sun_intensity;
  options.skyZenith = vectorOf(c.sky_zenith);
  options.skyHorizon = vectorOf(c.sky_horizon);
  options.up = vectorOf(c.up);
  options.rays = c.rays;
  options.bounces = c.bounces;
  options.albedo = c.albedo;
  options.seed = c.seed;
  options.invalidBackFaceShare = c.invalid_back_face_share;
  options.dilate = c.dilate;
  options.threads = c.threads;
  options.progress = progressOf(c.progress, c.user);
  options.cancel = c.cancel != nullptr ? &c.cancel->set : nullptr;
  return options;
}

}  // namespace

extern "C" {

lumivex_bake_options lumivex_bake_options_defaults(void) {
  const lumivex::BakeOptions d;
  return {d.ambientOcclusion ? 1 : 0, d.aoDistance, vectorOf(d.sunDirection), d.sunIntensity,
          vectorOf(d.skyZenith),      vectorOf(d.skyHorizon), vectorOf(d.up), d.rays, d.bounces, d.albedo, d.seed,
          d.invalidBackFaceShare,     d.dilate,   d.threads,  nullptr, nullptr, nullptr};
}

lumivex_result lumivex_bake_lightmap(const lumivex_mesh_arrays* meshes, size_t count, int32_t width, int32_t height,
                                     const lumivex_bake_options* options, float* rgb, uint8_t* valid,
                                     lumivex_bake_stats* stats) {
  if (rgb == nullptr) return invalid("rgb: NULL");
  return guarded([&] {
    std::vector<lumivex::MeshArrays> arrays;
    if (const lumivex_result r = allArraysOf(meshes, count, arrays); r.status != LUMIVEX_OK) return r;
    const lumivex::BakeOptions bake = bakeOptionsOf(options != nullptr ? *options : lumivex_bake_options_defaults());
    lumivex::BakeImage image;
    const lumivex::Result result = lumivex::bakeMeshes(arrays, lumivex::GridSize{width, height}, bake, image);
    if (!result) return toC(result);
    std::copy(image.rgb.begin(), image.rgb.end(), rgb);
    if (valid != nullptr) std::copy(image.valid.begin(), image.valid.end(), valid);
    if (stats != nullptr) {
      *stats = {image.stats.coveredTexels, image.stats.invalidTexels, image.stats.filledTexels,
                image.stats.dilatedTexels, image.stats.rays};
    }
    return lumivex_result{};
  });
}

}  // extern "C"
