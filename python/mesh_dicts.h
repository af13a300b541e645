#pragma once
// Meshes handed over from Python: arrays of one mesh, and the dicts that
// read_mesh gives and write_mesh and sample take, held with the memory the
// library's MeshArrays view.

#include <optional>
#include <string>
#include <vector>

#include <lumivex/layout.h>

#include "support.h"

namespace lumivex_python {

// One mesh's arrays as the library takes them, and the memory they view.
struct HeldMesh {
  py::array_t<float, py::array::c_style> positions;
  std::optional<py::array_t<float, py::array::c_style>> normals, uvs;
  std::vector<std::uint32_t> triangles;
  lumivex::MeshArrays arrays() const {
    lumivex::MeshArrays a;
    a.positions = {positions.data(), static_cast<std::size_t>(positions.size())};
    if (normals) a.normals = {normals->data(), static_cast<std::size_t>(normals->size())};
    if (uvs) a.lightmapUvs = {uvs->data(), static_cast<std::size_t>(uvs->size())};
    a.indices32 = triangles;
    return a;
  }
};

inline HeldMesh heldMesh(const py::object& positions, const py::object& triangles, const py::object& normals,
                         const py::object& uvs, const char* uvName) {
  HeldMesh held;
  held.positions = floatColumns(positions, "positions", 3);
  if (!normals.is_none()) {
    held.normals = floatColumns(normals, "normals", 3);
    if (held.normals->shape(0) != held.positions.shape(0)) throw py::value_error("normals: must have as many rows as positions");
  }
  if (!uvs.is_none()) {
    held.uvs = floatColumns(uvs, uvName, 2);
    if (held.uvs->shape(0) != held.positions.shape(0)) {
      throw py::value_error(std::string(uvName) + ": must have as many rows as positions");
    }
  }
  held.triangles = triangleIndices(triangles, held.positions.shape(0));
  return held;
}

// One mesh of write_mesh or sample: a dict with vertices ((n, 10) float32
// records) or positions, normals and lightmap_uv (and uv); triangles ((m, 3))
// or indices (flat, as read_mesh gives them: entries after the last whole
// triple belong to no triangle, as in a mesh file); a name. For sampling, a
// mesh whose vertices are None (read_mesh's meshes that are not sampled)
// holds no triangle.
using FloatArray = py::array_t<float, py::array::c_style>;

inline HeldMesh meshToWrite(const py::dict& mesh, std::string& name, std::optional<FloatArray>& records,
                            std::optional<FloatArray>& firstUvs, bool sampling = false, bool normalsOptional = false) {
  name = mesh.contains("name") ? py::str(mesh["name"]).cast<std::string>() : std::string("mesh");
  HeldMesh held;
  if (sampling && mesh.contains("vertices") && mesh["vertices"].is_none() && !mesh.contains("positions")) {
    held.positions = FloatArray(std::vector<py::ssize_t>{0, 3});
    return held;  // not sampled: no triangles, but it keeps its place among the meshes
  }
  py::object triangles = py::none();
  if (mesh.contains("triangles")) {
    triangles = mesh["triangles"];
  } else if (mesh.contains("indices")) {
    const py::array indices = py::module_::import("numpy").attr("asarray")(mesh["indices"]).attr("ravel")();
    const py::ssize_t whole = indices.size() - indices.size() % 3;
    triangles = indices[py::slice(0, whole, 1)].attr("reshape")(-1, 3);
  }
  if (triangles.is_none()) throw py::value_error("mesh: needs triangles (or indices)");
  if (mesh.contains("vertices") && !mesh["vertices"].is_none()) {
    records = floatColumns(mesh["vertices"], "vertices", 10);
    held.triangles = triangleIndices(triangles, records->shape(0));
    return held;
  }
  for (const char* key : {"positions", "normals", "lightmap_uv"}) {
    if (normalsOptional && std::string(key) == "normals") continue;
    if (!mesh.contains(key)) throw py::value_error(std::string("mesh: needs vertices, or ") + key);
  }
  const py::object normals = mesh.contains("normals") ? py::object(mesh["normals"]) : py::object(py::none());
  held = heldMesh(mesh["positions"], triangles, normals, mesh["lightmap_uv"], "lightmap_uv");
  if (mesh.contains("uv") && !mesh["uv"].is_none()) {
    firstUvs = floatColumns(mesh["uv"], "uv", 2);
    if (firstUvs->shape(0) != held.positions.shape(0)) throw py::value_error("uv: must have as many rows as positions");
  }
  return held;
}

// The meshes of one group, and the memory they view.
struct HeldGroup {
  std::vector<std::string> names;
  std::vector<std::optional<FloatArray>> records, firstUvs;
  std::vector<HeldMesh> held;
  std::vector<lumivex::NamedMesh> named;
};

// A list of mesh dicts; a mesh that is refused is named by its position.
// `normalsOptional`: meshes given by positions may leave out normals.
inline void holdGroup(const py::list& list, HeldGroup& group, bool sampling = false, bool normalsOptional = false) {
  group.names.resize(list.size());
  group.records.resize(list.size());
  group.firstUvs.resize(list.size());
  for (std::size_t m = 0; m < list.size(); ++m) {
    if (!py::isinstance<py::dict>(list[m])) {
      throw py::value_error("meshes[" + std::to_string(m) + "]: not a dict of a mesh's arrays");
    }
    try {
      group.held.push_back(
          meshToWrite(list[m], group.names[m], group.records[m], group.firstUvs[m], sampling, normalsOptional));
    } catch (const py::value_error& error) {
      throw py::value_error(list.size() > 1 ? "meshes[" + std::to_string(m) + "]: " + error.what() : error.what());
    }
  }
  for (std::size_t m = 0; m < group.held.size(); ++m) {
    lumivex::NamedMesh mesh{group.names[m], group.held[m].arrays(), {}};
    if (group.records[m]) {
      mesh.arrays = {};
      mesh.arrays.vertices = {reinterpret_cast<const lumivex::Vertex*>(group.records[m]->data()),
                              static_cast<std::size_t>(group.records[m]->shape(0))};
      mesh.arrays.indices32 = group.held[m].triangles;
    }
    if (group.firstUvs[m]) mesh.uvs = {group.firstUvs[m]->data(), static_cast<std::size_t>(group.firstUvs[m]->size())};
    group.named.push_back(mesh);
  }
}

}  // namespace lumivex_python
