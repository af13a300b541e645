// bakeLightmap: the texels of a sampled grid lit one by one on every thread,
// then invalid texels filled and the charts dilated.

#include <lumivex/bake.h>

#include <sched.h>

#include <atomic>
#include <cmath>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "bake/neighbour_fill.h"
#include "bake/texel_light.h"
#include "bake/trace_scene.h"

namespace lumivex {

namespace {

using bake::Float3;

Result invalid(const char* problem) { return {Status::InvalidArgument, problem}; }

bool finite(Vector3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }
bool nonNegative(Vector3 v) { return finite(v) && v.x >= 0.0f && v.y >= 0.0f && v.z >= 0.0f; }
bool usableDirection(Vector3 v) { return finite(v) && (v.x != 0.0f || v.y != 0.0f || v.z != 0.0f); }

Result checkOptions(const BakeOptions& options) {
  if (options.rays < 1 || options.rays > 65536) return invalid("rays: outside 1 to 65536");
  if (options.bounces > 16) return invalid("bounces: outside 0 to 16");
  if (!(options.albedo >= 0.0f && options.albedo <= 1.0f)) return invalid("albedo: outside 0 to 1");
  if (options.dilate > 64) return invalid("dilate: outside 0 to 64");
  if (!(options.invalidBackFaceShare >= 0.0f && options.invalidBackFaceShare <= 1.0f)) {
    return invalid("invalidBackFaceShare: outside 0 to 1");
  }
  if (!(std::isfinite(options.aoDistance) && options.aoDistance >= 0.0f)) return invalid("aoDistance: not a distance");
  if (!(std::isfinite(options.sunIntensity) && options.sunIntensity >= 0.0f)) {
    return invalid("sunIntensity: not a finite intensity of 0 or more");
  }
  if (options.sunIntensity > 0.0f && !usableDirection(options.sunDirection)) return invalid("sunDirection: no direction");
  if (!nonNegative(options.skyZenith) || !nonNegative(options.skyHorizon)) {
    return invalid("sky: not a finite colour of 0 or more");
  }
  if (!usableDirection(options.up)) return invalid("up: no direction");
  return {};
}

std::size_t threadsFor(std::size_t requested) {
  if (requested > 0) return requested;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<std::size_t>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// Every covered texel's ids must name a triangle of the meshes.
bool idsNameTriangles(const SampleGrid& grid, const bake::TraceScene& scene) {
  const auto meshIds = grid.meshIds();
  const auto triangleIds = grid.triangleIds();
  for (std::size_t texel = 0; texel < grid.cellCount(); ++texel) {
    if (meshIds[texel] == kNoTriangle) continue;
    if (meshIds[texel] >= scene.meshCount() || triangleIds[texel] >= scene.triangleCount(meshIds[texel])) return false;
  }
  return true;
}

struct Work {
  const SampleGrid& grid;
  const bake::TraceScene& scene;
  const bake::LightSetup& setup;
  BakeImage& image;
  std::atomic<std::int32_t> nextRow{0};
  std::atomic<std::int32_t> rowsDone{0};
  std::atomic<std::uint64_t> rays{0};
  std::atomic<bool> stop{false};
  double reported = 0;  // the last fraction reported (by the calling thread only)
};

bool stopped(Work& work, const BakeOptions& options) {
  if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) work.stop = true;
  return work.stop;
}

void bakeRow(Work& work, std::int32_t row, const BakeOptions& options) {
  const SampleGrid& grid = work.grid;
  std::uint64_t rays = 0;
  for (std::int32_t col = 0; col < grid.width(); ++col) {
    // A wide row of many rays per texel takes seconds: the flag is looked
    // at every 16 texels.
    if (col % 16 == 0 && stopped(work, options)) break;
    const std::size_t texel = static_cast<std::size_t>(row) * static_cast<std::size_t>(grid.width()) +
                              static_cast<std::size_t>(col);
    const std::uint32_t mesh = grid.meshIds()[texel];
    if (mesh == kNoTriangle) continue;
    const Sample& sample = grid.data()[texel];
    bake::TexelPoint point;
    point.position = {sample.position.x, sample.position.y, sample.position.z};
    point.normal = {sample.normal.x, sample.normal.y, sample.normal.z};
    point.frontNormal = work.scene.frontNormal(mesh, grid.triangleIds()[texel]);
    point.index = texel;
    const bake::TexelLight light = bake::lightAt(work.scene, work.setup, point);
    rays += light.rays;
    if (!light.valid) continue;
    work.image.rgb[3 * texel] = light.rgb.x;
    work.image.rgb[3 * texel + 1] = light.rgb.y;
    work.image.rgb[3 * texel + 2] = light.rgb.z;
    work.image.valid[texel] = 1;
    work.image.written[texel] = 1;
  }
  work.rays += rays;
}

// Calls the progress callback; one that throws stops the bake, as cancelling does.
void report(Work& work, const BakeOptions& options, double fraction) {
  if (!options.progress || work.stop) return;
  work.reported = fraction;
  try {
    options.progress(fraction);
  } catch (...) {
    work.stop = true;
  }
}

// Rows go to whichever thread asks next; the calling thread also reports
// progress and watches the cancel flag.
void bakeRows(Work& work, bool reporting, const BakeOptions& options) {
  const std::int32_t height = work.grid.height();
  for (std::int32_t row = work.nextRow++; row < height && !stopped(work, options); row = work.nextRow++) {
    bakeRow(work, row, options);
    const std::int32_t done = ++work.rowsDone;
    if (reporting) report(work, options, static_cast<double>(done) / static_cast<double>(height));
  }
}

void runOnThreads(Work& work, const BakeOptions& options) {
  const std::size_t threads = std::min<std::size_t>(threadsFor(options.threads), static_cast<std::size_t>(work.grid.height()));
  std::vector<std::jthread> helpers;
  for (std::size_t index = 1; index < threads; ++index) {
    try {
      helpers.emplace_back([&work, &options] { bakeRows(work, false, options); });
    } catch (const std::system_error&) {
      break;  // the rows left go to the threads there are
    }
  }
  bakeRows(work, true, options);
  helpers.clear();  // joined
  // The helpers may have baked every row, or the last ones: the caller still
  // hears of the end (and may still stop the bake there).
  if (work.reported < 1.0) report(work, options, 1.0);
}

// `arraysSampled`: the arrays have just been sampled (and so checked) by the caller.
Result bakeChecked(std::span<const MeshArrays> meshes, const SampleGrid& grid, const BakeOptions& options,
                   bool arraysSampled, BakeImage& image) {
  if (const Result checked = checkOptions(options); !checked) return checked;
  if (grid.cellCount() == 0) return invalid("grid: empty");
  if (grid.meshIds().empty()) return invalid("grid: sampled without ids (SampleOptions::ids)");
  if (!arraysSampled) {
    // The arrays are checked as the sampler checks them, on a one-texel grid.
    SampleGrid probe;
    if (const Result checked = sampleMeshes(meshes, GridSize{1, 1}, probe); !checked) return checked;
  }
  bake::TraceScene scene;
  if (const char* problem = scene.build(meshes); *problem != '\0') return {Status::OutOfMemory, problem};
  if (!idsNameTriangles(grid, scene)) return invalid("grid: ids name no triangle of these meshes");

  BakeImage baked;
  baked.width = grid.width();
  baked.height = grid.height();
  baked.rgb.assign(3 * grid.cellCount(), 0.0f);
  baked.valid.assign(grid.cellCount(), 0);
  baked.written.assign(grid.cellCount(), 0);
  const bake::LightSetup setup = bake::lightSetupFor(options, scene);
  Work work{grid, scene, setup, baked};
  runOnThreads(work, options);
  if (work.stop) return {Status::Cancelled, "cancelled"};

  std::vector<std::uint8_t> eligible(grid.cellCount(), 0);
  for (std::size_t texel = 0; texel < grid.cellCount(); ++texel) {
    const bool covered = grid.meshIds()[texel] != kNoTriangle;
    baked.stats.coveredTexels += covered ? 1 : 0;
    baked.stats.invalidTexels += covered && baked.valid[texel] == 0 ? 1 : 0;
    eligible[texel] = covered && baked.valid[texel] == 0 ? 1 : 0;
  }
  baked.stats.filledTexels = bake::fillFromNeighbours({baked.width, baked.height, baked.rgb, baked.written}, eligible, 0);
  for (std::size_t texel = 0; texel < grid.cellCount(); ++texel) eligible[texel] = grid.meshIds()[texel] == kNoTriangle;
  if (options.dilate > 0) {
    baked.stats.dilatedTexels =
        bake::fillFromNeighbours({baked.width, baked.height, baked.rgb, baked.written}, eligible, options.dilate);
  }
  baked.stats.rays = work.rays;
  image = std::move(baked);
  return {};
}

Result bakeGuarded(std::span<const MeshArrays> meshes, const SampleGrid& grid, const BakeOptions& options,
                   bool arraysSampled, BakeImage& image) noexcept {
  try {
    return bakeChecked(meshes, grid, options, arraysSampled, image);
  } catch (const std::bad_alloc&) {
    return {Status::OutOfMemory, "not enough memory"};
  } catch (...) {
    return {Status::OutOfMemory, "the system refused a resource"};
  }
}

}  // namespace

Result bakeLightmap(std::span<const MeshArrays> meshes, const SampleGrid& grid, const BakeOptions& options,
                    BakeImage& image) noexcept {
  return bakeGuarded(meshes, grid, options, false, image);
}

Result bakeMeshes(std::span<const MeshArrays> meshes, GridSize size, const BakeOptions& options,
                  BakeImage& image) noexcept {
  SampleOptions sampling;
  sampling.samplePoint = SamplePoint::Centre;
  sampling.ids = true;
  sampling.threads = options.threads;
  sampling.cancel = options.cancel;
  SampleGrid grid;
  if (const Result sampled = sampleMeshes(meshes, size, grid, sampling); !sampled) return sampled;
  return bakeGuarded(meshes, grid, options, true, image);
}

}  // namespace lumivex
