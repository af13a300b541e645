#pragma once
// What every binding needs: paths as Python names files, results turned into
// Python exceptions, NumPy arguments checked by name, progress callbacks
// from the library's threads, and calls that Ctrl-C can interrupt.

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <lumivex/lumivex.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace lumivex_python {

// The DamagedFile exception type, made when the module is loaded.
inline PyObject* damagedFileType = nullptr;


// A path as Python names files: str, bytes or os.PathLike, turned into the
// bytes the system takes (os.fsencode: names that are not UTF-8 work too).
// A NUL byte inside is refused as Python's own open() refuses it.
struct FilePath {
  std::string bytes;    // for the system
  std::string display;  // for messages
};

inline FilePath filePath(const py::object& path) {
  const py::module_ os = py::module_::import("os");
  FilePath result;
  result.bytes = py::bytes(os.attr("fsencode")(path));
  if (result.bytes.find('\0') != std::string::npos) throw py::value_error("path: embedded null byte");
  // Names that are not UTF-8 are shown with their odd bytes escaped.
  result.display = py::bytes(os.attr("fsdecode")(path).attr("encode")("utf-8", "backslashreplace"));
  return result;
}

// Raises the OSError the system gives for `path` (FileNotFoundError,
// PermissionError, IsADirectoryError, ...), or `fallback` with the library's reason.
[[noreturn]] inline void raiseOsError(const FilePath& path, const std::string& reason) {
  struct stat status {};
  int error = 0;
  if (stat(path.bytes.c_str(), &status) != 0) {
    error = errno;
  } else if (S_ISDIR(status.st_mode)) {
    error = EISDIR;
  } else if (access(path.bytes.c_str(), R_OK) != 0) {
    error = errno;
  }
  if (error != 0) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, py::bytes(path.bytes).ptr());
  } else {
    PyErr_SetString(PyExc_OSError, (path.display + ": " + reason).c_str());
  }
  throw py::error_already_set();
}

// Raises the Python error for a failed result: DamagedFile (with `reason` and
// `offset`), OSError (FileNotFoundError for a missing file), MemoryError,
// ValueError.
[[noreturn]] inline void raise(const lumivex::Result& result, const FilePath& path) {
  const std::string reason = lumivex::reason(result);
  switch (result.status) {
    case lumivex::Status::Damaged:
    case lumivex::Status::ReadError: {
      const std::string message = (path.display.empty() ? std::string("damaged mesh file") : path.display) + ": " + reason;
      py::object error = py::reinterpret_borrow<py::object>(damagedFileType)(message);
      error.attr("reason") = reason;
      error.attr("offset") = result.offset;
      error.attr("path") = path.display.empty() ? py::none() : py::object(py::str(path.display));
      PyErr_SetObject(damagedFileType, error.ptr());
      throw py::error_already_set();
    }
    case lumivex::Status::CannotOpen:
      raiseOsError(path, reason);
    case lumivex::Status::CannotWrite:
      PyErr_SetString(PyExc_OSError, (path.display + ": " + reason).c_str());
      throw py::error_already_set();
    case lumivex::Status::OutOfMemory:
      throw std::bad_alloc();
    default:
      throw py::value_error(reason);
  }
}

// A progress callback that may be called from any of the library's threads
// while the GIL is released: it takes the GIL, and an exception it raises is
// kept and raised again once the work has stopped.
struct ProgressBridge {
  std::optional<py::function> callback;
  std::optional<py::error_already_set> error;

  std::function<void(double)> progress() {
    if (!callback) return {};
    return [this](double fraction) {
      py::gil_scoped_acquire gil;
      try {
        (*callback)(fraction);
      } catch (py::error_already_set& raised) {
        error = std::move(raised);
        throw;  // the library stops the work
      }
    };
  }
  lumivex::SampleOptions options(std::size_t threads) {
    lumivex::SampleOptions sampleOptions;
    sampleOptions.threads = threads;
    sampleOptions.progress = progress();
    return sampleOptions;
  }
};

// Runs `call` on a thread of its own while this thread waits with the GIL
// released, looking for signals every 50 ms: Ctrl-C sets `cancel`, waits for
// the call to stop (the library looks at the flag often) and raises
// KeyboardInterrupt, with or without a progress callback. A callback's own
// exception is raised once the call has stopped.
template <typename Call>
lumivex::Result runInterruptible(Call&& call, std::atomic<bool>& cancel, ProgressBridge* bridge = nullptr) {
  lumivex::Result result;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread worker;
  {
    py::gil_scoped_release released;
    worker = std::thread([&] {
      const lumivex::Result outcome = call();
      const std::lock_guard lock(mutex);
      result = outcome;
      done = true;
      finished.notify_all();
    });
  }
  bool interrupted = false;
  while (true) {
    {
      py::gil_scoped_release released;
      std::unique_lock lock(mutex);
      if (finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) break;
    }
    if (!interrupted && PyErr_CheckSignals() != 0) {
      interrupted = true;
      cancel.store(true);
    }
  }
  {
    py::gil_scoped_release released;
    worker.join();
  }
  if (interrupted) throw py::error_already_set();
  if (bridge != nullptr && bridge->error) throw std::move(*bridge->error);
  return result;
}

// ---------------------------------------------------------------- argument checks

// `object` as an array of shape (n, columns) of a floating dtype, refused
// otherwise, naming the argument.
inline py::array floatArray(const py::object& object, const char* name, py::ssize_t columns) {
  const py::array array = py::array::ensure(object);
  if (!array) throw py::value_error(std::string(name) + ": not an array");
  if (array.dtype().kind() != 'f') {
    throw py::value_error(std::string(name) + ": dtype must be a floating type, not " +
                          std::string(py::str(array.dtype())));
  }
  if (array.ndim() != 2 || array.shape(1) != columns) {
    throw py::value_error(std::string(name) + ": shape must be (n, " + std::to_string(columns) + ")");
  }
  return array;
}

// The same as a C-contiguous float32 array, converted where it is not one.
inline py::array_t<float, py::array::c_style> floatColumns(const py::object& object, const char* name, py::ssize_t columns) {
  return py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(floatArray(object, name, columns));
}

// An (n, columns) array of floats as the library takes it. A float32 array
// whose columns lie 4 bytes apart and whose rows lie a multiple of 4 bytes
// apart, at least a row's width (a column slice of an interleaved vertex
// buffer), is used where it lies, without a copy; any other floating array is
// converted to a packed float32 copy, held here.
struct FloatRows {
  py::array held;                 // keeps the memory alive
  std::span<const float> values;  // from the first row's first float to the last row's last
  std::size_t stride = 0;         // bytes from row to row; 0: packed
  py::ssize_t rows = 0;
};

inline FloatRows floatRows(const py::object& object, const char* name, py::ssize_t columns) {
  const py::array array = floatArray(object, name, columns);
  FloatRows rows;
  rows.rows = array.shape(0);
  const py::ssize_t rowStride = array.strides(0);
  const bool inPlace = array.dtype().equal(py::dtype::of<float>()) && array.strides(1) == 4 &&
                       reinterpret_cast<std::uintptr_t>(array.data()) % alignof(float) == 0 &&
                       (rows.rows <= 1 || (rowStride >= 4 * columns && rowStride % 4 == 0));
  if (inPlace) {
    rows.held = array;
    const auto* first = static_cast<const float*>(array.data());
    if (rows.rows > 1) {
      rows.stride = static_cast<std::size_t>(rowStride);
      rows.values = {first, static_cast<std::size_t>((rows.rows - 1) * rowStride / 4 + columns)};
    } else {
      rows.values = {first, static_cast<std::size_t>(rows.rows * columns)};
    }
    return rows;
  }
  const auto packed = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
  rows.held = packed;
  rows.values = {packed.data(), static_cast<std::size_t>(packed.size())};
  return rows;
}

inline std::vector<std::uint32_t> triangleIndices(const py::object& object, py::ssize_t vertexCount) {
  const py::array array = py::array::ensure(object);
  if (!array) throw py::value_error("triangles: not an array");
  const char kind = array.dtype().kind();
  if (kind != 'i' && kind != 'u') {
    throw py::value_error("triangles: dtype must be an integer type, not " + std::string(py::str(array.dtype())));
  }
  if (array.ndim() != 2 || array.shape(1) != 3) throw py::value_error("triangles: shape must be (m, 3)");
  const auto check = [vertexCount](const auto* data, py::ssize_t count) {
    std::vector<std::uint32_t> indices(static_cast<std::size_t>(count));
    for (py::ssize_t i = 0; i < count; ++i) {
      const auto index = data[i];
      if (index < 0 || static_cast<std::uint64_t>(index) >= static_cast<std::uint64_t>(vertexCount)) {
        throw py::value_error("triangles: entry " + std::to_string(i) + " (" + std::to_string(index) +
                              ") names no vertex of " + std::to_string(vertexCount));
      }
      indices[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(index);
    }
    return indices;
  };
  if (kind == 'u' && array.dtype().itemsize() == 8) {  // beyond int64
    const auto indices = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>::ensure(array);
    return check(indices.data(), indices.size());
  }
  const auto indices = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
  return check(indices.data(), indices.size());
}

inline void checkSize(std::int64_t size) {
  if (size < lumivex::kSmallestSize || size > lumivex::kLargestSize) {
    throw py::value_error("size: must be from 1 to 16384, not " + std::to_string(size));
  }
}

// A grid's size: an int (a square grid) or a (width, height) pair, each 1 to 16384.
inline lumivex::GridSize gridSize(const py::object& size) {
  if (py::isinstance<py::int_>(size) && !py::isinstance<py::bool_>(size)) {
    const auto edge = size.cast<std::int64_t>();
    checkSize(edge);
    return {static_cast<std::int32_t>(edge), static_cast<std::int32_t>(edge)};
  }
  if ((py::isinstance<py::tuple>(size) || py::isinstance<py::list>(size)) && py::len(size) == 2) {
    const py::sequence pair = size;
    if (py::isinstance<py::int_>(pair[0]) && py::isinstance<py::int_>(pair[1])) {
      const auto width = pair[0].cast<std::int64_t>(), height = pair[1].cast<std::int64_t>();
      checkSize(width);
      checkSize(height);
      return {static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
    }
  }
  throw py::value_error("size: must be an int or a (width, height) pair of ints");
}

// The sampling options every sampling function takes by keyword.
inline lumivex::SampleOptions samplingOptions(lumivex::SampleOptions options, const std::string& samplePoint, bool ids,
                                              bool barycentrics, bool coverSmallTriangles) {
  if (samplePoint == "corner") {
    options.samplePoint = lumivex::SamplePoint::Corner;
  } else if (samplePoint == "centre" || samplePoint == "center") {
    options.samplePoint = lumivex::SamplePoint::Centre;
  } else {
    throw py::value_error("sample_point: must be \"corner\" or \"centre\", not \"" + samplePoint + "\"");
  }
  options.ids = ids;
  options.barycentrics = barycentrics;
  options.coverSmallTriangles = coverSmallTriangles;
  return options;
}

// Layout functions, defined beside the sampling ones.
void defineLayoutFunctions(py::module_& m);
// The baker, where the module is built with it.
void defineBakeFunctions(py::module_& m);

}  // namespace lumivex_python
