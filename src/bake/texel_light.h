#pragma once
// The light reaching one texel's sample point: ambient occlusion, sun, sky
// and diffuse bounces, estimated with cosine-weighted rays.

#include <lumivex/bake.h>

#include <cstdint>

#include "bake/trace_scene.h"

namespace lumivex::bake {

// What the estimate needs besides the scene, fixed for a whole bake.
struct LightSetup {
  BakeOptions options;
  Float3 towardSun;   // unit
  Float3 up;          // unit
  float offset = 0;   // how far ray origins stand off their surface
  float aoDistance = 0;
};

LightSetup lightSetupFor(const BakeOptions& options, const TraceScene& scene);

// One texel's sample: where, its shading normal, and the front normal of the
// triangle it lies on.
struct TexelPoint {
  Float3 position;
  Float3 normal;
  Float3 frontNormal;
  std::uint64_t index = 0;  // row * width + col, for the random numbers
};

struct TexelLight {
  Float3 rgb;
  bool valid = true;
  std::uint64_t rays = 0;
};

TexelLight lightAt(const TraceScene& scene, const LightSetup& setup, const TexelPoint& texel);

}  // namespace lumivex::bake
