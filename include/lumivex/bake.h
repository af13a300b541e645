#pragma once
// Baking light into a sampled lightmap: a reference baker for the samples.
//
// Part of liblumivex-bake, built where a ray-tracing library is installed
// (CMake target lumivex::bake); the rest of the library does not need it.
// Like the rest of the interface: nothing printed, nothing thrown, a Result.

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "lumivex/lumivex.h"

namespace lumivex {

struct BakeOptions {
  // The image is the ambient-occlusion term alone: per texel the
  // cosine-weighted share of the hemisphere not blocked within aoDistance,
  // 1 where nothing occludes. Sun, sky and bounces are then not used.
  bool ambientOcclusion = false;
  // How far an occluder counts, in scene units; 0: a quarter of the
  // diagonal of the meshes' bounding box.
  float aoDistance = 0.0f;
  // Direct light from a sun: the direction toward the sun (any length but
  // zero) and its intensity, adding intensity x cos(angle) where the sun is
  // not blocked. Off when sunIntensity is 0.
  Vector3 sunDirection{0.0f, 1.0f, 0.0f};
  float sunIntensity = 0.0f;
  // Sky light: what an unblocked surface facing up gets from the whole sky.
  // skyZenith straight up, skyHorizon at and below the horizon, blended by
  // the height of the direction above it; the same colour twice is a
  // uniform sky. All zero: no sky.
  Vector3 skyZenith{1.0f, 1.0f, 1.0f};
  Vector3 skyHorizon{1.0f, 1.0f, 1.0f};
  // "Up" for the sky gradient (any length but zero).
  Vector3 up{0.0f, 1.0f, 0.0f};
  // Rays per texel (1 to 65536).
  std::uint32_t rays = 64;
  // Diffuse interreflections followed after the first hit (0 to 16).
  std::uint32_t bounces = 0;
  // Share of light every front face reflects (0 to 1), for bounces.
  float albedo = 0.5f;
  // Random numbers come from a hash of (seed, texel, ray): the same inputs
  // give the same image at any thread count.
  std::uint64_t seed = 0;
  // Texels whose rays hit back faces more often than this share see the
  // inside of geometry: they are marked invalid and filled from valid
  // neighbours. 0.5: "mostly"; a texel under an open single-sided roof sees
  // its back face through less than half of its hemisphere.
  float invalidBackFaceShare = 0.5f;
  // Rings of uncovered texels around the covered ones filled from their
  // neighbours, so that filtering does not bleed black at chart borders
  // (0 to 64; the layout's padding is the usual value).
  std::uint32_t dilate = 2;
  // Threads at most; 0: as many as the process may run on.
  std::size_t threads = 0;
  // Called now and then with the share of the rows done (0 to 1), from the
  // calling thread.
  std::function<void(double fraction)> progress;
  // Set to true (from any thread) to stop: the call returns Cancelled.
  const std::atomic<bool>* cancel = nullptr;
};

struct BakeStats {
  std::uint64_t coveredTexels = 0;  // texels with a sample
  std::uint64_t invalidTexels = 0;  // covered texels that saw mostly back faces
  std::uint64_t filledTexels = 0;   // invalid texels given their neighbours' value
  std::uint64_t dilatedTexels = 0;  // uncovered texels filled by dilation
  std::uint64_t rays = 0;           // rays traced, shadow and bounce rays included
};

// A baked lightmap, width x height texels, row-major like the grid.
struct BakeImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  // Linear red, green and blue per texel: irradiance, or the occlusion term
  // in all three. Zero where nothing was baked or filled.
  std::vector<float> rgb;
  // 1 where a covered texel was baked from its own sample, 0 elsewhere.
  std::vector<std::uint8_t> valid;
  // 1 where the image holds a value: valid, filled or dilated texels.
  std::vector<std::uint8_t> written;
  BakeStats stats;
};

// Bakes light into the texels of `grid`, which must have been sampled from
// `meshes` with SampleOptions::ids (texel centres are what texture filtering
// expects). Every mesh's triangles cast shadows and take part in bounces.
// InvalidArgument for arrays sampleMeshes would refuse, a grid without ids
// or ids naming no triangle, or options outside their ranges; Cancelled;
// OutOfMemory. `image` is replaced only on success.
LUMIVEX_API Result bakeLightmap(std::span<const MeshArrays> meshes, const SampleGrid& grid,
                                const BakeOptions& options, BakeImage& image) noexcept;

// Both steps in one: samples the meshes at texel centres with ids into a
// grid of `size` (each side 1 to 16384; options.threads and options.cancel
// apply), then bakes it as bakeLightmap does.
LUMIVEX_API Result bakeMeshes(std::span<const MeshArrays> meshes, GridSize size, const BakeOptions& options,
                              BakeImage& image) noexcept;

}  // namespace lumivex
