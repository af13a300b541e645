// lumivex.bake: the reference baker from Python.

#include <lumivex/bake.h>

#include <algorithm>
#include <span>
#include <vector>

#include "mesh_dicts.h"
#include "support.h"

namespace lumivex_python {

namespace {

// (x, y, z) or (x, y, z, w) as floats, refused by name otherwise.
std::vector<float> numbersOf(const py::object& object, const char* name, std::size_t fewest, std::size_t most) {
  std::vector<float> numbers;
  try {
    for (const py::handle item : py::iter(object)) numbers.push_back(item.cast<float>());
  } catch (const py::error_already_set&) {
    numbers.clear();
  } catch (const py::cast_error&) {
    numbers.clear();
  }
  if (numbers.size() < fewest || numbers.size() > most) {
    throw py::value_error(std::string(name) + ": must be a sequence of " + std::to_string(fewest) +
                          (most > fewest ? " or " + std::to_string(most) : std::string()) + " numbers");
  }
  return numbers;
}

lumivex::Vector3 vectorOf(const std::vector<float>& numbers) { return {numbers[0], numbers[1], numbers[2]}; }

lumivex::BakeOptions bakeOptions(const py::object& sun, const py::object& sky, const py::object& horizon, bool ao,
                                 float aoDistance, std::uint32_t rays, std::uint32_t bounces, float albedo,
                                 std::uint64_t seed, std::uint32_t dilate, std::size_t threads) {
  lumivex::BakeOptions options;
  if (!sun.is_none()) {
    const std::vector<float> numbers = numbersOf(sun, "sun", 3, 4);
    options.sunDirection = vectorOf(numbers);
    options.sunIntensity = numbers.size() == 4 ? numbers[3] : 1.0f;
  }
  if (!sky.is_none()) options.skyZenith = options.skyHorizon = vectorOf(numbersOf(sky, "sky", 3, 3));
  if (!horizon.is_none()) options.skyHorizon = vectorOf(numbersOf(horizon, "horizon", 3, 3));
  options.ambientOcclusion = ao;
  options.aoDistance = aoDistance;
  options.rays = rays;
  options.bounces = bounces;
  options.albedo = albedo;
  options.seed = seed;
  options.dilate = dilate;
  options.threads = threads;
  return options;
}

// bakeMeshes with the GIL released and Ctrl-C watched: (image, valid).
py::tuple bakeArrays(std::span<const lumivex::MeshArrays> meshes, const py::object& size,
                     lumivex::BakeOptions options, const py::object& progress) {
  const lumivex::GridSize grid = gridSize(size);
  ProgressBridge bridge;
  if (!progress.is_none()) bridge.callback = progress.cast<py::function>();
  options.progress = bridge.progress();
  std::atomic<bool> cancel{false};
  options.cancel = &cancel;
  lumivex::BakeImage image;
  const lumivex::Result result = runInterruptible(
      [&] { return lumivex::bakeMeshes(meshes, grid, options, image); },
      cancel, &bridge);
  if (!result) raise(result, {});
  py::array_t<float> rgb({static_cast<py::ssize_t>(image.height), static_cast<py::ssize_t>(image.width),
                          static_cast<py::ssize_t>(3)});
  std::copy(image.rgb.begin(), image.rgb.end(), rgb.mutable_data());
  py::array_t<bool> valid({static_cast<py::ssize_t>(image.height), static_cast<py::ssize_t>(image.width)});
  std::transform(image.valid.begin(), image.valid.end(), valid.mutable_data(), [](std::uint8_t v) { return v != 0; });
  return py::make_tuple(rgb, valid);
}

constexpr const char* kBakeText = R"(Bakes light into a lightmap of `size` texels (an int, or (width, height)):
the mesh is sampled at texel centres and every covered texel lit by rays
against all of its triangles. Returns (image, valid): image (height, width, 3)
float32 linear irradiance (row 0 is lightmap v = 0), valid (height, width)
bool, True where a texel was baked from its own sample (texels inside
geometry are False, and filled from their neighbours; `dilate` rings around
the charts are filled too).

sun=(x, y, z[, intensity]) points toward the sun (intensity 1 by default) and
adds intensity x cos(angle) where the sun is not blocked; sky=(r, g, b) is
what an open surface facing up receives from the sky (default (1, 1, 1);
(0, 0, 0) for none), horizon=(r, g, b) its colour at the horizon (default the
same). ao=True makes the image the ambient-occlusion term alone (1 where
nothing occludes within ao_distance; 0: a quarter of the mesh's diagonal).
bounces: diffuse interreflections of surfaces reflecting `albedo`. The same
arguments give the same bytes at any thread count; `seed` changes the noise.
Ctrl-C stops the call within a second.)";

}  // namespace

void defineBakeFunctions(py::module_& m) {
  m.def(
      "bake",
      [](const py::object& positions, const py::object& normals, const py::object& lightmapUv,
         const py::object& triangles, const py::object& size, const py::object& sun, const py::object& sky,
         const py::object& horizon, bool ao, float aoDistance, std::uint32_t rays, std::uint32_t bounces,
         float albedo, std::uint64_t seed, std::uint32_t dilate, std::size_t threads, const py::object& progress) {
        const HeldMesh held = heldMesh(positions, triangles, normals, lightmapUv, "lightmap_uv");
        const lumivex::MeshArrays mesh = held.arrays();
        return bakeArrays({&mesh, 1}, size,
                          bakeOptions(sun, sky, horizon, ao, aoDistance, rays, bounces, albedo, seed, dilate, threads),
                          progress);
      },
      py::arg("positions"), py::arg("normals"), py::arg("lightmap_uv"), py::arg("triangles"), py::arg("size"),
      py::kw_only(), py::arg("sun") = py::none(), py::arg("sky") = py::none(), py::arg("horizon") = py::none(),
      py::arg("ao") = false, py::arg("ao_distance") = 0.0f, py::arg("rays") = 64, py::arg("bounces") = 0,
      py::arg("albedo") = 0.5f, py::arg("seed") = 0, py::arg("dilate") = 2, py::arg("threads") = 0,
      py::arg("progress") = py::none(), kBakeText);
  m.def(
      "bake",
      [](const py::list& meshes, const py::object& size, const py::object& sun, const py::object& sky,
         const py::object& horizon, bool ao, float aoDistance, std::uint32_t rays, std::uint32_t bounces,
         float albedo, std::uint64_t seed, std::uint32_t dilate, std::size_t threads, const py::object& progress) {
        HeldGroup group;
        holdGroup(meshes, group, true);
        std::vector<lumivex::MeshArrays> arrays;
        for (const lumivex::NamedMesh& mesh : group.named) arrays.push_back(mesh.arrays);
        return bakeArrays(arrays, size,
                          bakeOptions(sun, sky, horizon, ao, aoDistance, rays, bounces, albedo, seed, dilate, threads),
                          progress);
      },
      py::arg("meshes"), py::arg("size"), py::kw_only(), py::arg("sun") = py::none(), py::arg("sky") = py::none(),
      py::arg("horizon") = py::none(), py::arg("ao") = false, py::arg("ao_distance") = 0.0f, py::arg("rays") = 64,
      py::arg("bounces") = 0, py::arg("albedo") = 0.5f, py::arg("seed") = 0, py::arg("dilate") = 2,
      py::arg("threads") = 0, py::arg("progress") = py::none(),
      "Bakes several meshes in one lightmap, given as a list of dicts (as read_mesh gives a group, or with\n"
      "positions, normals, lightmap_uv and triangles); every mesh casts shadows on the others. The keyword\n"
      "options are those above.");
}

}  // namespace lumivex_python
