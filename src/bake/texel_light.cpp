#include "bake/texel_light.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "bake/bake_random.h"

namespace lumivex::bake {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr float kTwoPi = 6.28318530717958647692f;

Float3 toFloat3(Vector3 v) { return {v.x, v.y, v.z}; }

// A direction around `normal` (unit) with density cos(angle) / pi: a point
// spread evenly over the unit disk, lifted onto the hemisphere.
Float3 cosineDirection(Float3 normal, RayRandom& random) {
  const float radius = std::sqrt(random.next());
  const float angle = kTwoPi * random.next();
  const float x = radius * std::cos(angle), y = radius * std::sin(angle);
  const float z = std::sqrt(std::max(0.0f, 1.0f - x * x - y * y));
  // An orthonormal basis around the normal, without a branch on which axis
  // it lies nearest: continuous everywhere except where the sign of z flips.
  const float sign = std::copysign(1.0f, normal.z);
  const float a = -1.0f / (sign + normal.z);
  const float b = normal.x * normal.y * a;
  const Float3 tangent{1.0f + sign * normal.x * normal.x * a, sign * b, -sign * normal.x};
  const Float3 bitangent{b, sign + normal.y * normal.y * a, -normal.y};
  return normalised(tangent * x + bitangent * y + normal * z);
}

Float3 skyAlong(const LightSetup& setup, Float3 direction) {
  const float height = std::clamp(dot(direction, setup.up), 0.0f, 1.0f);
  const Float3 zenith = toFloat3(setup.options.skyZenith), horizon = toFloat3(setup.options.skyHorizon);
  return horizon + (zenith - horizon) * height;
}

// intensity x cos(angle) where the sun is above the surface and unblocked.
float sunlight(const TraceScene& scene, const LightSetup& setup, Float3 origin, Float3 normal, std::uint64_t& rays) {
  if (!(setup.options.sunIntensity > 0.0f)) return 0.0f;
  const float cosine = dot(normal, setup.towardSun);
  if (!(cosine > 0.0f)) return 0.0f;
  ++rays;
  return scene.blocked(origin, setup.towardSun, kInfinity) ? 0.0f : setup.options.sunIntensity * cosine;
}

Float3 pathLight(const TraceScene& scene, const LightSetup& setup, Float3 origin, Float3 direction,
                 std::uint32_t depth, RayRandom& random, std::uint64_t& rays);

// Light arriving along a ray that met `hit` (or nothing), in units where an
// open sky gives its colour; `depth` bounces already taken.
Float3 lightAlong(const TraceScene& scene, const LightSetup& setup, const Hit& hit, Float3 origin, Float3 direction,
                  std::uint32_t depth, RayRandom& random, std::uint64_t& rays) {
  if (!hit.found) return skyAlong(setup, direction);
  // Back faces reflect nothing; nor does anything past the last bounce.
  if (!hit.frontFace || depth >= setup.options.bounces) return {};
  const Float3 normal = scene.frontNormal(hit.mesh, hit.triangle);
  const Float3 point = origin + direction * hit.distance + normal * setup.offset;
  const float sun = sunlight(scene, setup, point, normal, rays);
  const Float3 onward = pathLight(scene, setup, point, cosineDirection(normal, random), depth + 1, random, rays);
  return (onward + Float3{sun, sun, sun}) * setup.options.albedo;
}

Float3 pathLight(const TraceScene& scene, const LightSetup& setup, Float3 origin, Float3 direction,
                 std::uint32_t depth, RayRandom& random, std::uint64_t& rays) {
  ++rays;
  return lightAlong(scene, setup, scene.nearest(origin, direction, kInfinity), origin, direction, depth, random, rays);
}

}  // namespace

LightSetup lightSetupFor(const BakeOptions& options, const TraceScene& scene) {
  LightSetup setup;
  setup.options = options;
  setup.options.progress = nullptr;
  setup.towardSun = normalised(toFloat3(options.sunDirection));
  setup.up = normalised(toFloat3(options.up));
  // Origins stand off their surface by 1/10000 of the scene: some hundred
  // times the rounding of float positions at the scene's size (2^-24 of it),
  // far below any feature a lightmap texel resolves.
  setup.offset = 1e-4f * std::max(scene.diagonal(), std::numeric_limits<float>::min());
  setup.aoDistance = options.aoDistance > 0.0f ? options.aoDistance : 0.25f * scene.diagonal();
  return setup;
}

TexelLight lightAt(const TraceScene& scene, const LightSetup& setup, const TexelPoint& texel) {
  TexelLight light;
  Float3 normal = normalised(texel.normal);
  if (dot(normal, normal) == 0.0f) normal = texel.frontNormal;
  const Float3 lift = dot(texel.frontNormal, texel.frontNormal) > 0.0f ? texel.frontNormal : normal;
  if (dot(lift, lift) == 0.0f) {  // no normal and a triangle of no area: nothing to bake from
    light.valid = false;
    return light;
  }
  const Float3 origin = texel.position + lift * setup.offset;
  if (!traceable(origin)) {  // a sample far out or not finite: no ray can leave it
    light.valid = false;
    return light;
  }
  const BakeOptions& options = setup.options;
  std::uint32_t backFaces = 0, open = 0;
  Float3 sum;
  for (std::uint32_t r = 0; r < options.rays; ++r) {
    RayRandom random(options.seed, texel.index, r);
    const Float3 direction = cosineDirection(normal, random);
    if (options.ambientOcclusion) {
      ++light.rays;
      const Hit hit = scene.nearest(origin, direction, setup.aoDistance);
      if (!hit.found) ++open;
      if (hit.found && !hit.frontFace) ++backFaces;
      continue;
    }
    ++light.rays;
    const Hit first = scene.nearest(origin, direction, kInfinity);
    if (first.found && !first.frontFace) ++backFaces;
    sum = sum + lightAlong(scene, setup, first, origin, direction, 0, random, light.rays);
  }
  light.valid = static_cast<float>(backFaces) <= options.invalidBackFaceShare * static_cast<float>(options.rays);
  if (options.ambientOcclusion) {
    const float share = static_cast<float>(open) / static_cast<float>(options.rays);
    light.rgb = {share, share, share};
    return light;
  }
  const float sun = sunlight(scene, setup, origin, normal, light.rays);
  light.rgb = sum * (1.0f / static_cast<float>(options.rays)) + Float3{sun, sun, sun};
  return light;
}

}  // namespace lumivex::bake
