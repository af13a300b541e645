// The Python module: meshes and samples as NumPy arrays, on top of the
// library's public interface. Arrays handed out are views of the library's
// own memory where the layout allows (they keep their owner alive), and the
// GIL is released while a file is read or a mesh sampled.

#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "mesh_dicts.h"
#include "support.h"

namespace lumivex_python {
namespace {

// ---------------------------------------------------------------- samples

class Samples {
 public:
  Samples() = default;
  explicit Samples(lumivex::SampleGrid grid) : grid_(std::make_shared<lumivex::SampleGrid>(std::move(grid))) {}

  py::ssize_t width() const { return grid_->width(); }
  py::ssize_t height() const { return grid_->height(); }
  // An int for a square grid, (width, height) otherwise: as `size` is given.
  py::object size() const {
    if (width() == height()) return py::int_(width());
    return py::make_tuple(width(), height());
  }
  const lumivex::SampleGrid& grid() const { return *grid_; }

  // A (height, width, count) view of `count` values of T a texel, `bytes`
  // bytes apart from texel to texel, starting at `base`; None where the
  // channel was not asked for.
  template <typename T>
  py::object view(py::handle owner, const void* base, py::ssize_t count, py::ssize_t bytes) const {
    if (base == nullptr || grid_->cellCount() == 0) return py::none();
    std::vector<py::ssize_t> shape = {height(), width()}, strides = {width() * bytes, bytes};
    if (count > 1) {
      shape.push_back(count);
      strides.push_back(static_cast<py::ssize_t>(sizeof(T)));
    }
    return py::array(py::dtype::of<T>(), shape, strides, base, owner);
  }
  py::object samplesView(py::handle owner, std::size_t offset) const {
    return view<float>(owner, reinterpret_cast<const std::uint8_t*>(grid_->data()) + offset, 3, 24);
  }
  // Computed on first use, then the same read-only array every time.
  py::object covered() {
    if (!covered_) {
      py::array_t<bool> mask({height(), width()});
      grid_->copyCoverage({reinterpret_cast<std::uint8_t*>(mask.mutable_data()), grid_->cellCount()});
      mask.attr("flags").attr("writeable") = false;
      covered_ = mask;
    }
    return covered_;
  }
  py::dict stats() {
    if (!stats_) {
      py::gil_scoped_release released;  // one pass over a grid that may be large
      stats_ = grid_->stats();
    }
    py::dict result;
    result["covered_texels"] = stats_->coveredTexels;
    result["zero_normals"] = stats_->zeroNormals;
    result["non_finite_normals"] = stats_->nonFiniteNormals;
    result["small_triangles_placed"] = stats_->smallTrianglesPlaced;
    return result;
  }

 private:
  std::shared_ptr<lumivex::SampleGrid> grid_;
  py::object covered_;
  std::optional<lumivex::SampleStats> stats_;
};

// ---------------------------------------------------------------- meshes

class MeshFileHolder {
 public:
  lumivex::MeshFile file;
};

py::dict meshDict(const lumivex::MeshView& mesh, py::handle owner) {
  py::dict result;
  result["vertex_size"] = mesh.vertexSize;
  result["vertex_stride"] = mesh.vertexStride;
  result["format_kind"] = mesh.formatKind;
  result["vertex_count"] = mesh.vertexCount;
  result["index_count"] = mesh.indexCount;
  result["sampled"] = mesh.sampled();
  const auto vertexCount = static_cast<py::ssize_t>(mesh.vertexCount);
  const auto recordBytes = static_cast<py::ssize_t>(mesh.recordBytes);
  result["records"] = py::array(py::dtype::of<std::uint8_t>(), {vertexCount, recordBytes},
                                {recordBytes, py::ssize_t{1}}, mesh.vertexRecords.data(), owner);
  result["indices"] = py::array(py::dtype::of<std::uint16_t>(), {static_cast<py::ssize_t>(mesh.indices.size())},
                                {py::ssize_t{2}}, mesh.indices.data(), owner);
  if (!mesh.sampled()) {
    result["vertices"] = py::none();
  } else if (mesh.recordBytes == 40 && std::endian::native == std::endian::little &&
             reinterpret_cast<std::uintptr_t>(mesh.vertexRecords.data()) % alignof(float) == 0) {
    result["vertices"] = py::array(py::dtype::of<float>(), {vertexCount, py::ssize_t{10}},
                                   {py::ssize_t{40}, py::ssize_t{4}}, mesh.vertexRecords.data(), owner);
  } else {
    // Records of another length (or byte order): decoded through the 40-byte view.
    py::array_t<float> decoded({vertexCount, py::ssize_t{10}});
    float* out = decoded.mutable_data();
    for (std::size_t k = 0; k < static_cast<std::size_t>(mesh.vertexCount); ++k) {
      const lumivex::Vertex vertex = mesh.vertex(k);
      std::memcpy(out + 10 * k, &vertex, sizeof vertex);
    }
    result["vertices"] = decoded;
  }
  return result;
}

py::list meshGroups(const std::shared_ptr<MeshFileHolder>& holder) {
  py::object owner = py::cast(holder);
  py::list groups;
  for (std::int32_t g = 0; g < holder->file.groupCount(); ++g) {
    py::list meshes;
    for (const lumivex::MeshView& mesh : holder->file.group(static_cast<std::size_t>(g))) {
      meshes.append(meshDict(mesh, owner));
    }
    groups.append(meshes);
  }
  return groups;
}

// Runs a sampling call with the GIL released (Ctrl-C cancels it), then
// raises what went wrong.
template <typename Call>
Samples runSampling(Call&& call, ProgressBridge& bridge, const FilePath& path, lumivex::SampleOptions& options) {
  std::atomic<bool> cancel{false};
  options.cancel = &cancel;
  lumivex::SampleGrid grid;
  const lumivex::Result result = runInterruptible([&] { return call(grid); }, cancel, &bridge);
  if (!result) raise(result, path);
  return Samples(std::move(grid));
}

}  // namespace
}  // namespace lumivex_python

using namespace lumivex_python;

PYBIND11_MODULE(_lumivex, m) {
  m.doc() =
      "Sample points of a lightmap: for every texel of a grid, the surface position and unit normal that map to\n"
      "its corner (or centre) through the meshes' lightmap UVs. Rows follow v, columns follow u (v = 0 is row 0).";
  m.attr("__version__") = lumivex::version();

  damagedFileType = PyErr_NewExceptionWithDoc(
      "lumivex.DamagedFile",
      "A mesh or samples file that is cut short or holds a count no valid file has.\n"
      "Attributes: reason (as the lumivex command prints it), offset (the byte offset), path.",
      PyExc_ValueError, nullptr);
  m.attr("DamagedFile") = py::handle(damagedFileType);
  defineLayoutFunctions(m);
#ifdef LUMIVEX_PYTHON_BAKE
  defineBakeFunctions(m);
#endif

  py::class_<Samples>(m, "Samples",
                      "A grid of samples, height rows of width texels. positions and normals are (height, width, 3)\n"
                      "float32 views, indexed [row, col]; covered is a (height, width) bool array, True where a triangle\n"
                      "wrote the texel; triangle_ids, mesh_ids and barycentrics are there when asked for.")
      .def_property_readonly("size", &Samples::size, "Texels on a side (an int) for a square grid, else (width, height).")
      .def_property_readonly("width", &Samples::width, "Texels in a row (along u).")
      .def_property_readonly("height", &Samples::height, "Rows (along v).")
      .def_property_readonly(
          "positions", [](py::object self) { return self.cast<const Samples&>().samplesView(self, 0); },
          "(height, width, 3) float32 view of the surface positions, [row, col, xyz].")
      .def_property_readonly(
          "normals", [](py::object self) { return self.cast<const Samples&>().samplesView(self, 12); },
          "(height, width, 3) float32 view of the unit normals, [row, col, xyz].")
      .def_property_readonly("covered", &Samples::covered,
                             "(height, width) bool, read-only: True where a triangle wrote the texel (for samples read\n"
                             "from a file: where its six values are not all +0.0). Computed once.")
      .def_property_readonly(
          "triangle_ids",
          [](py::object self) {
            const Samples& samples = self.cast<const Samples&>();
            return samples.view<std::uint32_t>(self, samples.grid().triangleIds().data(), 1, 4);
          },
          "(height, width) uint32 view: each texel's triangle, by its index within its mesh (0xFFFFFFFF where\n"
          "nothing covers it); None unless sampled with ids=True.")
      .def_property_readonly(
          "mesh_ids",
          [](py::object self) {
            const Samples& samples = self.cast<const Samples&>();
            return samples.view<std::uint32_t>(self, samples.grid().meshIds().data(), 1, 4);
          },
          "(height, width) uint32 view: each texel's mesh (0 for one mesh; 0xFFFFFFFF where nothing covers it);\n"
          "None unless sampled with ids=True.")
      .def_property_readonly(
          "barycentrics",
          [](py::object self) {
            const Samples& samples = self.cast<const Samples&>();
            return samples.view<float>(self, samples.grid().barycentrics().data(), 2, 8);
          },
          "(height, width, 2) float32 view: the weights w1, w2 of the triangle's second and third corners at the\n"
          "sample point, so that a value there is (1 - w1 - w2) a0 + w1 a1 + w2 a2; None unless sampled with\n"
          "barycentrics=True.")
      .def_property_readonly("stats", &Samples::stats,
                             "dict: covered_texels, zero_normals and non_finite_normals (among the covered texels), and\n"
                             "small_triangles_placed (with cover_small_triangles=True).")
      .def(
          "save",
          [](const Samples& samples, const py::object& path) {
            const FilePath name = filePath(path);
            std::atomic<bool> cancel{false};
            const lumivex::Result result = runInterruptible(
                [&] { return lumivex::writeSamplesFile(name.bytes.c_str(), samples.grid(), &cancel); }, cancel);
            if (!result) raise(result, name);
          },
          py::arg("path"),
          "Writes the samples file (positions and normals only): complete or not at all (a temporary file\n"
          "renamed into place).")
      .def("__repr__", [](const Samples& samples) {
        return "<lumivex.Samples " + std::to_string(samples.width()) + " x " + std::to_string(samples.height()) + ">";
      });

  m.def(
      "read_mesh",
      [](const py::object& path) {
        const FilePath name = filePath(path);
        auto holder = std::make_shared<MeshFileHolder>();
        std::atomic<bool> cancel{false};
        lumivex::LoadOptions load;
        load.cancel = &cancel;
        const lumivex::Result result =
            runInterruptible([&] { return lumivex::loadMeshFile(name.bytes.c_str(), holder->file, load); }, cancel);
        if (!result) raise(result, name);
        return meshGroups(holder);
      },
      py::arg("path"),
      "Reads a mesh file (str, bytes or os.PathLike path) into a list of groups, each a list of meshes: dicts\n"
      "with vertex_size, vertex_stride, format_kind, vertex_count, index_count, sampled, records ((n, record\n"
      "bytes) uint8), vertices ((n, 10) float32: position, normal, uv, lightmap uv; a view where the records are\n"
      "40 bytes, None for meshes that are not sampled) and indices (uint16). Raises DamagedFile or OSError.");

  m.def(
      "read_mesh_buffer",
      [](const py::object& buffer) {
        // The bytes in the buffer's logical order: a strided or reversed view
        // is copied into one piece first, as bytes(view) would give them.
        py::object contiguous = py::reinterpret_steal<py::object>(PyMemoryView_GetContiguous(buffer.ptr(), PyBUF_READ, 'C'));
        if (!contiguous) {
          PyErr_Clear();
          throw py::value_error("buffer: not an object holding bytes (bytes, bytearray, memoryview, a NumPy array)");
        }
        const Py_buffer* view = PyMemoryView_GET_BUFFER(contiguous.ptr());
        const auto* bytes = static_cast<const std::uint8_t*>(view->buf);
        const auto length = static_cast<std::size_t>(view->len);
        auto holder = std::make_shared<MeshFileHolder>();
        std::atomic<bool> cancel{false};
        lumivex::LoadOptions load;
        load.cancel = &cancel;
        const lumivex::Result result =
            runInterruptible([&] { return lumivex::loadMeshFileFromMemory({bytes, length}, holder->file, load); }, cancel);
        if (!result) raise(result, FilePath{});
        return meshGroups(holder);
      },
      py::arg("buffer"),
      "Reads a mesh file's contents from any object holding bytes (bytes, bytearray, memoryview, a NumPy\n"
      "array; a view that is not contiguous is copied first), as read_mesh reads a file.");

  py::class_<MeshFileHolder, std::shared_ptr<MeshFileHolder>>(m, "_MeshFile");

  m.def(
      "sample",
      [](const py::object& positions, const py::object& normals, const py::object& lightmapUv,
         const py::object& triangles, const py::object& size, const std::string& samplePoint, bool ids,
         bool barycentrics, bool coverSmallTriangles, std::int64_t threads, std::optional<py::function> progress) {
        const FloatRows p = floatRows(positions, "positions", 3);
        const FloatRows n = floatRows(normals, "normals", 3);
        const FloatRows uv = floatRows(lightmapUv, "lightmap_uv", 2);
        if (n.rows != p.rows) throw py::value_error("normals: must have as many rows as positions");
        if (uv.rows != p.rows) throw py::value_error("lightmap_uv: must have as many rows as positions");
        const std::vector<std::uint32_t> indices = triangleIndices(triangles, p.rows);
        const lumivex::GridSize grid = gridSize(size);
        if (threads < 0) throw py::value_error("threads: must be 0 or more");

        lumivex::MeshArrays mesh;
        mesh.positions = p.values;
        mesh.positionStride = p.stride;
        mesh.normals = n.values;
        mesh.normalStride = n.stride;
        mesh.lightmapUvs = uv.values;
        mesh.lightmapUvStride = uv.stride;
        mesh.indices32 = indices;
        ProgressBridge bridge{progress, std::nullopt};
        lumivex::SampleOptions options = samplingOptions(bridge.options(static_cast<std::size_t>(threads)),
                                                         samplePoint, ids, barycentrics, coverSmallTriangles);
        return runSampling([&](lumivex::SampleGrid& out) { return lumivex::sampleMesh(mesh, grid, out, options); },
                           bridge, FilePath{}, options);
      },
      py::arg("positions"), py::arg("normals"), py::arg("lightmap_uv"), py::arg("triangles"), py::arg("size"),
      py::kw_only(), py::arg("sample_point") = "corner", py::arg("ids") = false, py::arg("barycentrics") = false,
      py::arg("cover_small_triangles") = false, py::arg("threads") = 0, py::arg("progress") = py::none(),
      "Samples one mesh: positions (n, 3), normals (n, 3), lightmap_uv (n, 2) of a floating dtype, triangles\n"
      "(m, 3) of any integer dtype naming rows of positions, into a grid of size x size texels (size an int) or\n"
      "width x height (size a pair), each 1 to 16384. float32 arrays whose rows lie a multiple of 4 bytes apart\n"
      "(column slices of one interleaved vertex buffer) are read where they lie; others are converted.\n"
      "sample_point: \"corner\" (col, row), as the lumivex command samples, or \"centre\" (col + 0.5, row + 0.5).\n"
      "ids: fill triangle_ids and mesh_ids. barycentrics: fill barycentrics. cover_small_triangles: a triangle\n"
      "that holds no sample point still gets its centroid's sample, in the nearest texel no triangle covers.\n"
      "threads: the most threads to use (0: the processors this process may run on). progress: called with\n"
      "the fraction done. The GIL is released while sampling. Raises ValueError naming a bad argument.");

  m.def(
      "sample",
      [](const py::object& meshes, const py::object& size, const std::string& samplePoint, bool ids, bool barycentrics,
         bool coverSmallTriangles, std::int64_t threads, std::optional<py::function> progress) {
        if (!py::isinstance<py::list>(meshes) && !py::isinstance<py::tuple>(meshes)) {
          throw py::value_error("meshes: must be a list of mesh dicts (as read_mesh gives a group)");
        }
        HeldGroup group;
        holdGroup(py::list(meshes), group, true);
        const lumivex::GridSize grid = gridSize(size);
        if (threads < 0) throw py::value_error("threads: must be 0 or more");
        std::vector<lumivex::MeshArrays> arrays;
        for (const lumivex::NamedMesh& mesh : group.named) arrays.push_back(mesh.arrays);
        ProgressBridge bridge{progress, std::nullopt};
        lumivex::SampleOptions options = samplingOptions(bridge.options(static_cast<std::size_t>(threads)),
                                                         samplePoint, ids, barycentrics, coverSmallTriangles);
        return runSampling([&](lumivex::SampleGrid& out) { return lumivex::sampleMeshes(arrays, grid, out, options); },
                           bridge, FilePath{}, options);
      },
      py::arg("meshes"), py::arg("size"), py::kw_only(), py::arg("sample_point") = "corner", py::arg("ids") = false,
      py::arg("barycentrics") = false, py::arg("cover_small_triangles") = false, py::arg("threads") = 0,
      py::arg("progress") = py::none(),
      "Samples several meshes, in order (later ones win), given as a list of dicts: as read_mesh gives a group\n"
      "(vertices and indices; meshes that are not sampled take their place among the meshes and hold no\n"
      "triangle), or with positions, normals, lightmap_uv and triangles. mesh_ids count the list's meshes. The\n"
      "keyword options are those above.");

  m.def(
      "sample_file",
      [](const py::object& path, const py::object& size, std::int64_t threads, std::optional<py::function> progress,
         const std::string& samplePoint, bool ids, bool barycentrics, bool coverSmallTriangles) {
        const lumivex::GridSize grid = gridSize(size);
        if (threads < 0) throw py::value_error("threads: must be 0 or more");
        const FilePath name = filePath(path);
        ProgressBridge bridge{progress, std::nullopt};
        lumivex::SampleOptions options = samplingOptions(bridge.options(static_cast<std::size_t>(threads)),
                                                         samplePoint, ids, barycentrics, coverSmallTriangles);
        return runSampling(
            [&](lumivex::SampleGrid& out) { return lumivex::sampleMeshFile(name.bytes.c_str(), grid, out, {}, options); },
            bridge, name, options);
      },
      py::arg("path"), py::arg("size"), py::arg("threads") = 0, py::arg("progress") = py::none(), py::kw_only(),
      py::arg("sample_point") = "corner", py::arg("ids") = false, py::arg("barycentrics") = false,
      py::arg("cover_small_triangles") = false,
      "Samples the first group of a mesh file, exactly as the lumivex command does with the default options\n"
      "(at any size: an int or a (width, height) pair). The keyword options are those of sample(); mesh_ids\n"
      "count the group's meshes. Raises DamagedFile or OSError.");

  m.def(
      "read_samples",
      [](const py::object& path) {
        const FilePath name = filePath(path);
        lumivex::SampleGrid grid;
        std::atomic<bool> cancel{false};
        const lumivex::Result result =
            runInterruptible([&] { return lumivex::readSamplesFile(name.bytes.c_str(), grid, &cancel); }, cancel);
        if (!result) raise(result, name);
        return Samples(std::move(grid));
      },
      py::arg("path"), "Reads a samples file of any size. Raises DamagedFile or OSError.");
}
