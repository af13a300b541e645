// The Python module: meshes and samples as NumPy arrays, on top of the
// library's public interface. Arrays handed out are views of the library's
// own memory where the layout allows (they keep their owner alive), and the
// GIL is released while a file is read or a mesh sampled.

#include <bit>
#include <cstring>
#include <memory>

#include "support.h"

namespace lumivex_python {
namespace {

// ---------------------------------------------------------------- samples

class Samples {
 public:
  Samples() = default;
  explicit Samples(lumivex::SampleGrid grid) : grid_(std::make_shared<lumivex::SampleGrid>(std::move(grid))) {}

  std::int32_t size() const { return grid_->size(); }
  const lumivex::SampleGrid& grid() const { return *grid_; }

  // A (size, size, 3) float32 view of the positions (offset 0) or normals (12).
  py::array view(py::handle owner, std::size_t offset) const {
    const auto size = static_cast<py::ssize_t>(grid_->size());
    const auto* base = reinterpret_cast<const std::uint8_t*>(grid_->data()) + offset;
    return py::array(py::dtype::of<float>(), {size, size, py::ssize_t{3}},
                     {size * py::ssize_t{24}, py::ssize_t{24}, py::ssize_t{4}}, base, owner);
  }
  py::array_t<bool> covered() const {
    const auto size = static_cast<py::ssize_t>(grid_->size());
    py::array_t<bool> result({size, size});
    bool* out = result.mutable_data();
    for (std::int32_t row = 0; row < grid_->size(); ++row) {
      for (std::int32_t col = 0; col < grid_->size(); ++col) *out++ = grid_->covered(col, row);
    }
    return result;
  }

 private:
  std::shared_ptr<lumivex::SampleGrid> grid_;
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
      "Sample points of a lightmap: for every texel of a size x size grid, the surface position and unit normal\n"
      "that map to its corner through the meshes' lightmap UVs. Rows follow v, columns follow u (v = 0 is row 0).";
  m.attr("__version__") = lumivex::version();

  damagedFileType = PyErr_NewExceptionWithDoc(
      "lumivex.DamagedFile",
      "A mesh or samples file that is cut short or holds a count no valid file has.\n"
      "Attributes: reason (as the lumivex command prints it), offset (the byte offset), path.",
      PyExc_ValueError, nullptr);
  m.attr("DamagedFile") = py::handle(damagedFileType);
  defineLayoutFunctions(m);

  py::class_<Samples>(m, "Samples",
                      "A size x size grid of samples. positions and normals are (size, size, 3) float32 views, indexed\n"
                      "[row, col]; covered is a (size, size) bool array, False where no triangle covers the texel.")
      .def_property_readonly("size", &Samples::size, "Texels on a side.")
      .def_property_readonly(
          "positions", [](py::object self) { return self.cast<const Samples&>().view(self, 0); },
          "(size, size, 3) float32 view of the surface positions, [row, col, xyz].")
      .def_property_readonly(
          "normals", [](py::object self) { return self.cast<const Samples&>().view(self, 12); },
          "(size, size, 3) float32 view of the unit normals, [row, col, xyz].")
      .def_property_readonly("covered", &Samples::covered,
                             "(size, size) bool: True where a triangle covers the texel (any value not +0.0).")
      .def(
          "save",
          [](const Samples& samples, const py::object& path) {
            const FilePath name = filePath(path);
            lumivex::Result result;
            {
              py::gil_scoped_release released;
              result = lumivex::writeSamplesFile(name.bytes.c_str(), samples.grid());
            }
            if (!result) raise(result, name);
          },
          py::arg("path"),
          "Writes the samples file: complete or not at all (a temporary file renamed into place).")
      .def("__repr__", [](const Samples& samples) {
        return "<lumivex.Samples " + std::to_string(samples.size()) + " x " + std::to_string(samples.size()) + ">";
      });

  m.def(
      "read_mesh",
      [](const py::object& path) {
        const FilePath name = filePath(path);
        auto holder = std::make_shared<MeshFileHolder>();
        lumivex::Result result;
        {
          py::gil_scoped_release released;
          result = lumivex::loadMeshFile(name.bytes.c_str(), holder->file);
        }
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
        lumivex::Result result;
        {
          py::gil_scoped_release released;
          result = lumivex::loadMeshFileFromMemory({bytes, length}, holder->file);
        }
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
         const py::object& triangles, std::int64_t size, std::int64_t threads, std::optional<py::function> progress) {
        const auto p = floatColumns(positions, "positions", 3);
        const auto n = floatColumns(normals, "normals", 3);
        const auto uv = floatColumns(lightmapUv, "lightmap_uv", 2);
        if (n.shape(0) != p.shape(0)) throw py::value_error("normals: must have as many rows as positions");
        if (uv.shape(0) != p.shape(0)) throw py::value_error("lightmap_uv: must have as many rows as positions");
        const std::vector<std::uint32_t> indices = triangleIndices(triangles, p.shape(0));
        checkSize(size);
        if (threads < 0) throw py::value_error("threads: must be 0 or more");

        lumivex::MeshArrays mesh;
        mesh.positions = {p.data(), static_cast<std::size_t>(p.size())};
        mesh.normals = {n.data(), static_cast<std::size_t>(n.size())};
        mesh.lightmapUvs = {uv.data(), static_cast<std::size_t>(uv.size())};
        mesh.indices32 = indices;
        ProgressBridge bridge{progress, std::nullopt};
        lumivex::SampleOptions options = bridge.options(static_cast<std::size_t>(threads));
        return runSampling(
            [&](lumivex::SampleGrid& grid) {
              return lumivex::sampleMesh(mesh, static_cast<std::int32_t>(size), grid, options);
            },
            bridge, FilePath{}, options);
      },
      py::arg("positions"), py::arg("normals"), py::arg("lightmap_uv"), py::arg("triangles"), py::arg("size"),
      py::arg("threads") = 0, py::arg("progress") = py::none(),
      "Samples one mesh: positions (n, 3), normals (n, 3), lightmap_uv (n, 2) of a floating dtype (float32 is\n"
      "used as is), triangles (m, 3) of any integer dtype naming rows of positions, into a size x size grid\n"
      "(1 to 16384). threads: the most threads to use (0: the processors this process may run on). progress:\n"
      "called with the fraction done. The GIL is released while sampling. Raises ValueError naming a bad argument.");

  m.def(
      "sample_file",
      [](const py::object& path, std::int64_t size, std::int64_t threads, std::optional<py::function> progress) {
        checkSize(size);
        if (threads < 0) throw py::value_error("threads: must be 0 or more");
        const FilePath name = filePath(path);
        ProgressBridge bridge{progress, std::nullopt};
        lumivex::SampleOptions options = bridge.options(static_cast<std::size_t>(threads));
        return runSampling(
            [&](lumivex::SampleGrid& grid) {
              return lumivex::sampleMeshFile(name.bytes.c_str(), static_cast<std::int32_t>(size), grid, {}, options);
            },
            bridge, name, options);
      },
      py::arg("path"), py::arg("size"), py::arg("threads") = 0, py::arg("progress") = py::none(),
      "Samples the first group of a mesh file into a size x size grid, exactly as the lumivex command does.\n"
      "Raises DamagedFile or OSError.");

  m.def(
      "read_samples",
      [](const py::object& path) {
        const FilePath name = filePath(path);
        lumivex::SampleGrid grid;
        lumivex::Result result;
        {
          py::gil_scoped_release released;
          result = lumivex::readSamplesFile(name.bytes.c_str(), grid);
        }
        if (!result) raise(result, name);
        return Samples(std::move(grid));
      },
      py::arg("path"), "Reads a samples file of any size. Raises DamagedFile or OSError.");
}
