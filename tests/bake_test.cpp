// The reference baker against what physics says for scenes whose answer is
// known, and its promises: the same bytes at any thread count, refusals.

#include <lumivex/bake.h>
#include <lumivex/lumivex.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

using lumivex::BakeImage;
using lumivex::BakeOptions;
using lumivex::Vector3;
using lumivex::Vertex;

// A scene of quads: the floor is laid out over the whole lightmap (u = x,
// v = z over [0, 1]); every other quad casts shadows but takes no texels
// (all its lightmap coordinates are one point).
struct Scene {
  std::vector<Vertex> vertices;
  std::vector<std::uint32_t> indices;

  // Corners a, b, c, d counter-clockwise seen from the side `normal` points to.
  void quad(Vector3 a, Vector3 b, Vector3 c, Vector3 d, Vector3 normal, bool laidOut) {
    const auto first = static_cast<std::uint32_t>(vertices.size());
    for (const Vector3& p : {a, b, c, d}) {
      vertices.push_back({p, normal, {0, 0}, laidOut ? p.x : -1.0f, laidOut ? p.z : -1.0f});
    }
    indices.insert(indices.end(), {first, first + 1, first + 2, first, first + 2, first + 3});
  }
  void floor(float y = 0.0f) { quad({0, y, 0}, {0, y, 1}, {1, y, 1}, {1, y, 0}, {0, 1, 0}, true); }
  // An axis-aligned box from `low` to `high`, its faces turned inward or outward.
  void box(Vector3 low, Vector3 high, bool inward) {
    const float x0 = low.x, y0 = low.y, z0 = low.z, x1 = high.x, y1 = high.y, z1 = high.z;
    const float s = inward ? -1.0f : 1.0f;
    struct Face { Vector3 a, b, c, d, n; };
    const Face faces[6] = {
        {{x0, y1, z0}, {x0, y1, z1}, {x1, y1, z1}, {x1, y1, z0}, {0, 1, 0}},     // top
        {{x0, y0, z0}, {x1, y0, z0}, {x1, y0, z1}, {x0, y0, z1}, {0, -1, 0}},    // bottom
        {{x1, y0, z0}, {x1, y1, z0}, {x1, y1, z1}, {x1, y0, z1}, {1, 0, 0}},     // +x
        {{x0, y0, z0}, {x0, y0, z1}, {x0, y1, z1}, {x0, y1, z0}, {-1, 0, 0}},    // -x
        {{x0, y0, z1}, {x1, y0, z1}, {x1, y1, z1}, {x0, y1, z1}, {0, 0, 1}},     // +z
        {{x0, y0, z0}, {x0, y1, z0}, {x1, y1, z0}, {x1, y0, z0}, {0, 0, -1}}};   // -z
    for (const Face& f : faces) {
      const Vector3 n{f.n.x * s, f.n.y * s, f.n.z * s};
      if (inward) quad(f.d, f.c, f.b, f.a, n, false);
      else quad(f.a, f.b, f.c, f.d, n, false);
    }
  }
  lumivex::MeshArrays arrays() const {
    lumivex::MeshArrays mesh;
    mesh.vertices = vertices;
    mesh.indices32 = indices;
    return mesh;
  }
};

struct Baked {
  lumivex::Result result;
  BakeImage image;
  lumivex::SampleGrid grid;
};

Baked bake(const Scene& scene, BakeOptions options, int size = 32) {
  Baked baked;
  const lumivex::MeshArrays mesh = scene.arrays();
  lumivex::SampleOptions sampling;
  sampling.samplePoint = lumivex::SamplePoint::Centre;
  sampling.ids = true;
  baked.result = lumivex::sampleMesh(mesh, size, baked.grid, sampling);
  if (baked.result) baked.result = lumivex::bakeLightmap({&mesh, 1}, baked.grid, options, baked.image);
  return baked;
}

BakeOptions skyOff() {
  BakeOptions options;
  options.skyZenith = options.skyHorizon = {0, 0, 0};
  return options;
}

TEST(Bake, APlaneUnderTheSunGetsIntensityTimesCosineEverywhere) {
  Scene scene;
  scene.floor();
  struct Case { Vector3 towardSun; float intensity; float expected; };
  const Case cases[] = {{{0, 1, 0}, 2.0f, 2.0f},
                        {{1, 1, 0}, 3.0f, 3.0f * std::sqrt(0.5f)},
                        {{0.3f, 0.4f, -1.2f}, 1.0f, 0.4f / 1.3f},
                        {{1, -0.5f, 0}, 5.0f, 0.0f}};  // below the horizon
  for (const Case& c : cases) {
    BakeOptions options = skyOff();
    options.sunDirection = c.towardSun;
    options.sunIntensity = c.intensity;
    options.rays = 4;
    const Baked baked = bake(scene, options);
    ASSERT_TRUE(baked.result) << baked.result.problem;
    EXPECT_EQ(baked.image.stats.coveredTexels, 32u * 32u);
    for (std::size_t texel = 0; texel < 32 * 32; ++texel) {
      ASSERT_EQ(baked.image.valid[texel], 1);
      ASSERT_NEAR(baked.image.rgb[3 * texel], c.expected, 1e-5f * c.intensity) << texel;
    }
  }
}

TEST(Bake, SkyAndAmbientOcclusionOfAnOpenPlaneAreExactlyTheSky) {
  Scene scene;
  scene.floor();
  BakeOptions options;
  options.skyZenith = options.skyHorizon = {0.25f, 0.5f, 1.0f};
  const Baked lit = bake(scene, options);
  options.ambientOcclusion = true;
  const Baked occlusion = bake(scene, options);
  ASSERT_TRUE(lit.result && occlusion.result);
  for (std::size_t texel = 0; texel < 32 * 32; ++texel) {
    EXPECT_EQ(lit.image.rgb[3 * texel], 0.25f);
    EXPECT_EQ(lit.image.rgb[3 * texel + 2], 1.0f);
    EXPECT_EQ(occlusion.image.rgb[3 * texel], 1.0f);
  }
}

TEST(Bake, TheInsideOfAClosedBoxGetsNoSkyWhateverTheBounces) {
  Scene scene;
  scene.floor(0.01f);
  scene.box({-0.5f, -0.5f, -0.5f}, {1.5f, 1.0f, 1.5f}, true);
  for (const std::uint32_t bounces : {0u, 3u}) {
    BakeOptions options;
    options.bounces = bounces;
    options.albedo = 0.9f;
    options.sunIntensity = 10.0f;
    const Baked baked = bake(scene, options, 16);
    ASSERT_TRUE(baked.result);
    EXPECT_EQ(baked.image.stats.invalidTexels, 0u);
    for (const float value : baked.image.rgb) ASSERT_EQ(value, 0.0f) << bounces;
  }
}

// On a floor beside a tall wall at distance d, occluders counting within R:
// a cosine-weighted direction is a point spread evenly over the unit disk,
// and it reaches the wall within R where its component toward the wall
// exceeds a = d / R. The open share is 1 minus that disk segment's share.
double openShareBesideAWall(double d, double range) {
  const double a = std::min(1.0, d / range);
  return 1.0 - (std::acos(a) - a * std::sqrt(1.0 - a * a)) / M_PI;
}

TEST(Bake, AmbientOcclusionFallsTowardAWallAsTheDiskSegmentSays) {
  Scene scene;
  scene.floor();
  // The wall at x = 1 faces the floor, reaching past every ray of length 1.
  scene.quad({1, 0, -2}, {1, 0, 3}, {1, 2, 3}, {1, 2, -2}, {-1, 0, 0}, false);
  BakeOptions options;
  options.ambientOcclusion = true;
  options.aoDistance = 1.0f;
  options.rays = 2048;
  const Baked baked = bake(scene, options);
  ASSERT_TRUE(baked.result);
  // The standard error of a share from 2048 rays is at most 0.011; five of
  // them leave no room for chance in 1024 texels.
  double worst = 0;
  for (int row = 0; row < 32; ++row) {
    for (int col = 0; col < 32; ++col) {
      const double expected = openShareBesideAWall(1.0 - (col + 0.5) / 32.0, 1.0);
      worst = std::max(worst, std::abs(baked.image.rgb[3 * (row * 32 + col)] - expected));
    }
  }
  EXPECT_LT(worst, 0.055);
  EXPECT_NEAR(baked.image.rgb[3 * 31], openShareBesideAWall(0.5 / 32, 1.0), 0.055);  // about one half at the wall
}

TEST(Bake, TexelsInsideGeometryAreInvalidAndFilledFromTheirNeighbours) {
  Scene scene;
  scene.floor();
  scene.box({0.4f, -0.2f, 0.4f}, {0.6f, 0.2f, 0.6f}, false);  // a closed box through the floor
  BakeOptions options;
  options.ambientOcclusion = true;
  const Baked baked = bake(scene, options);
  ASSERT_TRUE(baked.result);
  const BakeImage& image = baked.image;
  EXPECT_GT(image.stats.invalidTexels, 0u);
  EXPECT_EQ(image.stats.filledTexels, image.stats.invalidTexels);
  for (int row = 0; row < 32; ++row) {
    for (int col = 0; col < 32; ++col) {
      const std::size_t texel = static_cast<std::size_t>(row * 32 + col);
      const double u = (col + 0.5) / 32, v = (row + 0.5) / 32;
      const bool inside = u > 0.4 && u < 0.6 && v > 0.4 && v < 0.6;
      ASSERT_EQ(image.valid[texel], inside ? 0 : 1) << col << "," << row;
      ASSERT_EQ(image.written[texel], 1);
      // Filled from the occluded ring around the box, not left black.
      if (inside) {
        ASSERT_GT(image.rgb[3 * texel], 0.3f);
      }
    }
  }
}

TEST(Bake, DilationFillsTheRingsAskedForAndNoMore) {
  Scene scene;
  scene.quad({0.25f, 0, 0.25f}, {0.25f, 0, 0.75f}, {0.75f, 0, 0.75f}, {0.75f, 0, 0.25f}, {0, 1, 0}, true);
  for (const std::uint32_t rings : {0u, 1u, 3u}) {
    BakeOptions options;
    options.dilate = rings;
    options.rays = 1;
    const Baked baked = bake(scene, options);
    ASSERT_TRUE(baked.result);
    // Covered: columns and rows 8 to 23; ring k lies k texels outside.
    for (int row = 0; row < 32; ++row) {
      for (int col = 0; col < 32; ++col) {
        const int distance = std::max({8 - col, col - 23, 8 - row, row - 23, 0});
        const std::size_t texel = static_cast<std::size_t>(row * 32 + col);
        ASSERT_EQ(baked.image.written[texel], distance <= static_cast<int>(rings) ? 1 : 0) << col << "," << row;
        if (distance > 0 && distance <= static_cast<int>(rings)) {
          ASSERT_EQ(baked.image.rgb[3 * texel], 1.0f);
        }
      }
    }
  }
}

TEST(Bake, TheSameInputsGiveTheSameBytesAtAnyThreadCount) {
  Scene scene;
  scene.floor();
  scene.box({0.3f, 0.0f, 0.3f}, {0.5f, 0.3f, 0.7f}, false);
  BakeOptions options;
  options.sunDirection = {1, 2, 0.5f};
  options.sunIntensity = 1.5f;
  options.skyHorizon = {0.2f, 0.2f, 0.3f};
  options.bounces = 2;
  options.rays = 16;
  options.seed = 7;
  std::vector<float> first;
  for (const std::size_t threads : {1u, 2u, 5u}) {
    options.threads = threads;
    const Baked baked = bake(scene, options, 48);
    ASSERT_TRUE(baked.result);
    if (first.empty()) first = baked.image.rgb;
    ASSERT_EQ(std::memcmp(first.data(), baked.image.rgb.data(), 4 * first.size()), 0) << threads;
  }
  options.seed = 8;
  EXPECT_NE(bake(scene, options, 48).image.rgb, first);
}

// Samples beyond what a ray can start from (the ray tracer refuses origins
// past about 1.8e18, and NaNs) are invalid texels, not a fault.
TEST(Bake, SamplesNoRayCanLeaveAreInvalid) {
  for (const float far : {3e18f, 1e30f, INFINITY, NAN}) {
    Scene scene;
    scene.floor();
    for (std::size_t k = 0; k < 2; ++k) scene.vertices[k].position.y = far;
    const Baked baked = bake(scene, BakeOptions{}, 8);
    ASSERT_TRUE(baked.result) << far;
    EXPECT_GT(baked.image.stats.invalidTexels, 0u) << far;
    for (const float value : baked.image.rgb) ASSERT_TRUE(std::isfinite(value)) << far;
  }
}

TEST(Bake, RefusesWhatItCannotBake) {
  Scene scene;
  scene.floor();
  const lumivex::MeshArrays mesh = scene.arrays();
  lumivex::SampleGrid plain, withIds;
  ASSERT_TRUE(lumivex::sampleMesh(mesh, 8, plain));
  lumivex::SampleOptions ids;
  ids.ids = true;
  ASSERT_TRUE(lumivex::sampleMesh(mesh, 8, withIds, ids));
  lumivex::MeshArrays fewer = mesh;
  fewer.indices32 = fewer.indices32.first(3);  // the grid's second triangle is gone
  lumivex::MeshArrays broken = mesh;
  broken.indices32 = {};
  struct Case { const char* what; const lumivex::MeshArrays* mesh; const lumivex::SampleGrid* grid; BakeOptions options; };
  std::vector<Case> cases;
  const auto with = [](auto change) { BakeOptions options; change(options); return options; };
  cases.push_back({"no ids", &mesh, &plain, {}});
  cases.push_back({"ids past the triangles", &fewer, &withIds, {}});
  cases.push_back({"no index array", &broken, &withIds, {}});
  cases.push_back({"no rays", &mesh, &withIds, with([](BakeOptions& o) { o.rays = 0; })});
  cases.push_back({"too many bounces", &mesh, &withIds, with([](BakeOptions& o) { o.bounces = 17; })});
  cases.push_back({"albedo NaN", &mesh, &withIds, with([](BakeOptions& o) { o.albedo = NAN; })});
  cases.push_back({"negative sky", &mesh, &withIds, with([](BakeOptions& o) { o.skyZenith.y = -1; })});
  cases.push_back({"sun without direction", &mesh, &withIds,
                   with([](BakeOptions& o) { o.sunIntensity = 1, o.sunDirection = {0, 0, 0}; })});
  cases.push_back({"dilation too wide", &mesh, &withIds, with([](BakeOptions& o) { o.dilate = 65; })});
  for (const Case& c : cases) {
    BakeImage image;
    image.width = 99;
    const lumivex::Result result = lumivex::bakeLightmap({c.mesh, 1}, *c.grid, c.options, image);
    EXPECT_EQ(result.status, lumivex::Status::InvalidArgument) << c.what;
    EXPECT_EQ(image.width, 99) << c.what << ": the image is replaced only on success";
  }
  std::atomic<bool> cancel{true};
  BakeOptions cancelled;
  cancelled.cancel = &cancel;
  BakeImage image;
  EXPECT_EQ(lumivex::bakeLightmap({&mesh, 1}, withIds, cancelled, image).status, lumivex::Status::Cancelled);
  BakeOptions throwing;
  throwing.progress = [](double) { throw 1; };
  EXPECT_EQ(lumivex::bakeLightmap({&mesh, 1}, withIds, throwing, image).status, lumivex::Status::Cancelled);
}

}  // namespace

namespace {

// Whichever thread bakes the last rows (on a small grid the helpers may bake
// them all before the calling thread gets one), the caller hears of the end,
// and a callback that stops cancels the bake.
TEST(Bake, ProgressReachesTheEndAndAStopAlwaysCancelsWhateverTheThreads) {
  Scene scene;
  scene.floor();
  const lumivex::MeshArrays mesh = scene.arrays();
  lumivex::SampleOptions ids;
  ids.ids = true;
  lumivex::SampleGrid grid;
  ASSERT_TRUE(lumivex::sampleMesh(mesh, 4, grid, ids));
  for (int run = 0; run < 40; ++run) {
    BakeOptions options;
    options.threads = 8;
    options.rays = 4;
    std::vector<double> heard;
    options.progress = [&heard](double fraction) { heard.push_back(fraction); };
    BakeImage image;
    ASSERT_TRUE(lumivex::bakeLightmap({&mesh, 1}, grid, options, image)) << run;
    ASSERT_FALSE(heard.empty()) << run;
    EXPECT_EQ(heard.back(), 1.0) << run;
    EXPECT_EQ(std::count(heard.begin(), heard.end(), 1.0), 1) << run;
    EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end())) << run;
    options.progress = [](double) { throw 1; };
    EXPECT_EQ(lumivex::bakeLightmap({&mesh, 1}, grid, options, image).status, lumivex::Status::Cancelled) << run;
  }
}

}  // namespace
