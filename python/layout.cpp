// Lightmap layouts from Python: generated, checked, and written as mesh
// files, on NumPy arrays.

#include <lumivex/layout.h>

#include "mesh_dicts.h"
#include "support.h"

namespace lumivex_python {

namespace {

// A NumPy array that owns a copy of `values`, shaped (count / columns, columns)
// or flat when columns is 0.
template <typename T>
py::array_t<T> arrayOf(const std::vector<T>& values, py::ssize_t columns = 0) {
  const auto count = static_cast<py::ssize_t>(values.size());
  py::array_t<T> array = columns == 0 ? py::array_t<T>(count) : py::array_t<T>({count / columns, columns});
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

bool isList(const py::object& o) { return py::isinstance<py::list>(o) || py::isinstance<py::tuple>(o); }

// Positions of several meshes: a list of 2-D arrays (one mesh's positions
// may be a list of rows).
bool severalMeshes(const py::object& positions) {
  if (!isList(positions) || py::len(positions) == 0) return false;
  return py::module_::import("numpy").attr("ndim")(py::sequence(positions)[0]).cast<int>() == 2;
}

// Several meshes given as lists of arrays, or one mesh as arrays; `normals`
// and `uvs` may be None (none given), `uvName` names the latter.
std::vector<HeldMesh> heldMeshes(const py::object& positions, const py::object& triangles, const py::object& normals,
                                 const py::object& uvs, const char* uvName) {
  std::vector<HeldMesh> held;
  if (!severalMeshes(positions)) {
    held.push_back(heldMesh(positions, triangles, normals, uvs, uvName));
    return held;
  }
  const py::sequence p = positions;
  const auto listOf = [&](const py::object& o, const char* name) {
    if (o.is_none()) {  // None for every mesh
      py::list nones;
      for (std::size_t m = 0; m < py::len(p); ++m) nones.append(py::none());
      return nones;
    }
    if (!isList(o) || py::len(o) != py::len(p)) {
      throw py::value_error(std::string("positions is a list: ") + name + " must be a list of as many arrays");
    }
    return py::list(o);
  };
  const py::list t = listOf(triangles, "triangles"), n = listOf(normals, "normals"), u = listOf(uvs, uvName);
  for (std::size_t m = 0; m < py::len(p); ++m) held.push_back(heldMesh(p[m], t[m], n[m], u[m], uvName));
  return held;
}

py::dict countsDict(const lumivex::LayoutCounts& counts) {
  py::dict d;
  d["triangles"] = counts.triangles;
  d["outside"] = counts.outside;
  d["zero_area"] = counts.zeroArea;
  d["unsampled_triangles"] = counts.unsampled;
  d["unsampled_area_share"] = counts.surfaceArea > 0 ? counts.unsampledArea / counts.surfaceArea : 0.0;
  d["overlap"] = counts.overlappedTexels;
  return d;
}

py::dict generate(const py::object& positions, const py::object& triangles, std::int64_t size, std::int64_t padding,
                  const py::object& normals, double texelsPerUnit, double maxChartAngle, std::int64_t threads,
                  std::optional<py::function> progress, const py::object& kept) {
  const std::vector<HeldMesh> held = heldMeshes(positions, triangles, normals, py::none(), "uvs");
  // Meshes already laid out in the square: mesh dicts with their lightmap UVs.
  HeldGroup keptGroup;
  if (!kept.is_none()) {
    if (!isList(kept)) throw py::value_error("kept: must be a list of mesh dicts");
    try {
      holdGroup(py::list(kept), keptGroup, true, true);
    } catch (const py::value_error& error) {
      throw py::value_error(std::string("kept: ") + error.what());
    }
  }
  std::vector<lumivex::MeshArrays> keptArrays;
  for (const lumivex::NamedMesh& mesh : keptGroup.named) keptArrays.push_back(mesh.arrays);
  if (threads < 0) throw py::value_error("threads: must be 0 or more");
  lumivex::LayoutOptions options;
  options.size = static_cast<std::int32_t>(std::clamp<std::int64_t>(size, -1, 1 << 20));
  options.padding = static_cast<std::int32_t>(std::clamp<std::int64_t>(padding, -1, 1 << 20));
  options.texelsPerUnit = texelsPerUnit;
  options.maxChartAngle = maxChartAngle;
  options.threads = static_cast<std::size_t>(threads);
  ProgressBridge bridge{progress, std::nullopt};
  options.progress = bridge.progress();
  std::atomic<bool> cancel{false};
  options.cancel = &cancel;
  std::vector<lumivex::MeshArrays> arrays;
  for (const HeldMesh& mesh : held) arrays.push_back(mesh.arrays());
  lumivex::GeneratedLayout layout;
  const lumivex::Result result =
      runInterruptible([&] { return lumivex::generateLightmapUvs(arrays, options, layout, keptArrays); }, cancel, &bridge);
  if (result.status == lumivex::Status::DoesNotFit) {
    throw py::value_error(std::to_string(layout.charts) + " charts do not fit a lightmap of size " +
                          std::to_string(size) + " with padding " + std::to_string(padding));
  }
  if (!result) raise(result, FilePath{});
  const auto meshDict = [](const lumivex::MeshLayout& mesh) {
    py::dict d;
    d["xref"] = arrayOf(mesh.xref);
    d["triangles"] = arrayOf(mesh.triangles, 3);
    d["uvs"] = arrayOf(mesh.lightmapUvs, 2);
    d["chart_ids"] = arrayOf(mesh.chartIds);
    return d;
  };
  py::dict out;
  if (severalMeshes(positions)) {
    py::list meshes;
    for (const lumivex::MeshLayout& mesh : layout.meshes) {
      py::dict d = meshDict(mesh);
      d["texels_per_unit"] = mesh.texelsPerUnit;
      meshes.append(d);
    }
    out["meshes"] = meshes;
  } else {
    out = meshDict(layout.meshes.front());
  }
  out["charts"] = layout.charts;
  out["texels_per_unit"] = layout.texelsPerUnit;
  out["covered_share"] = layout.coveredShare;
  out["snapped_vertices"] = layout.snappedVertices;
  out["unsampled_triangles"] = layout.unsampledTriangles;
  out["unsampled_area_share"] = layout.unsampledAreaShare;
  out["smallest_sampling_size"] = layout.sizeSamplingAll == 0 ? py::object(py::none()) : py::int_(layout.sizeSamplingAll);
  return out;
}

py::dict check(const py::object& positions, const py::object& triangles, const py::object& uvs, std::int64_t size) {
  checkSize(size);
  const std::vector<HeldMesh> held = heldMeshes(positions, triangles, py::none(), uvs, "uvs");
  std::vector<lumivex::MeshArrays> arrays;
  for (const HeldMesh& mesh : held) arrays.push_back(mesh.arrays());
  std::atomic<bool> cancel{false};
  lumivex::LayoutCheckOptions options;
  options.cancel = &cancel;
  lumivex::LayoutReport report;
  const lumivex::Result result = runInterruptible(
      [&] { return lumivex::checkLayout(arrays, static_cast<std::int32_t>(size), report, options); }, cancel);
  if (!result) raise(result, FilePath{});
  py::dict out = countsDict(report.total);
  out["size"] = report.size;
  out["covered_texels"] = report.total.coveredTexels;
  out["smallest_sampling_size"] = report.sizeSamplingAll == 0 ? py::object(py::none()) : py::int_(report.sizeSamplingAll);
  py::list meshes;
  for (const lumivex::LayoutCounts& counts : report.meshes) meshes.append(countsDict(counts));
  out["meshes"] = meshes;
  return out;
}

void writeMesh(const py::object& path, const py::object& groups) {
  const FilePath name = filePath(path);
  const py::list list = groups;
  // A list of meshes is one group; a list of lists, groups (as read_mesh gives them).
  const bool grouped = list.size() > 0 && py::isinstance<py::list>(list[0]);
  std::vector<HeldGroup> held(grouped ? list.size() : 1);
  for (std::size_t g = 0; g < held.size(); ++g) holdGroup(grouped ? py::list(list[g]) : list, held[g]);
  std::vector<std::vector<lumivex::NamedMesh>> named;
  for (const HeldGroup& group : held) named.push_back(group.named);
  lumivex::Result result;
  {
    py::gil_scoped_release released;
    result = lumivex::writeMeshFile(name.bytes.c_str(), std::span<const std::vector<lumivex::NamedMesh>>(named));
  }
  if (!result) raise(result, name);
}

}  // namespace

void defineLayoutFunctions(py::module_& m) {
  m.def("generate_lightmap_uvs", &generate, py::arg("positions"), py::arg("triangles"), py::arg("size") = 512,
        py::arg("padding") = 2, py::arg("normals") = py::none(), py::kw_only(), py::arg("texels_per_unit") = 0.0,
        py::arg("max_chart_angle") = 60.0, py::arg("threads") = 0, py::arg("progress") = py::none(),
        py::arg("kept") = py::none(),
        "Makes a lightmap layout for a mesh without one: positions (n, 3) and triangles (m, 3). Returns a dict:\n"
        "xref (the input vertex each new vertex copies), triangles ((m, 3) over the new vertices), uvs ((k, 2)\n"
        "float32 in [0, 1]), chart_ids (per triangle), charts, texels_per_unit, covered_share, snapped_vertices,\n"
        "unsampled_triangles, unsampled_area_share and smallest_sampling_size. Several meshes sharing one square:\n"
        "lists of positions, triangles (and normals); the dict then holds meshes, per mesh xref, triangles, uvs,\n"
        "chart_ids and its own texels_per_unit, with the figures for all. kept: meshes already in the square (dicts\n"
        "with positions, triangles and lightmap_uv, or as read_mesh gives them), whose texels stay clear.\n"
        "texels_per_unit: 0 for the largest density that fits, else that density (ValueError when the charts do\n"
        "not fit). The GIL is released and Ctrl-C stops it.");
  m.def("check_layout", &check, py::arg("positions"), py::arg("triangles"), py::arg("uvs"), py::arg("size"),
        "Checks a lightmap layout at `size` exactly as the sampler sees it: positions (n, 3), triangles (m, 3), uvs\n"
        "(n, 2), or lists of them for several meshes. Returns a dict with triangles, outside, zero_area,\n"
        "unsampled_triangles, unsampled_area_share, overlap (texels inside two or more triangles), covered_texels,\n"
        "smallest_sampling_size (None: none up to 16384) and meshes (the same counts per mesh).");
  m.def("write_mesh", &writeMesh, py::arg("path"), py::arg("groups"),
        "Writes a mesh file that the lumivex command reads (it samples the first group): a list of groups, each a\n"
        "list of meshes (or one list of meshes for one group). A mesh is a dict with vertices ((n, 10) float32\n"
        "records, as read_mesh gives them) or positions, normals, lightmap_uv and optionally uv; triangles ((m, 3))\n"
        "or indices; and a name. Meshes of more than 65,535 vertices are written in parts. Complete or not at all.");
}

}  // namespace lumivex_python
