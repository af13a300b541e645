// The public interface as an engine uses it: caller-owned arrays of every
// form sampled at any size, refusals for arrays that do not fit, progress and
// cancelling, and several callers at once.

#include <lumivex/lumivex.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "support/kvx_builder.h"
#include "mesh/byte_reader.h"
#include "sampling/sample_mesh_file.h"
#include "support/reference_rasteriser.h"
#include "support/tool_runner.h"

namespace lumivex {
namespace {

// A random mesh of small and large triangles, as records and as separate arrays.
struct CallerMesh {
  std::vector<Vertex> vertices;
  std::vector<float> positions, normals, lightmapUvs;
  std::vector<std::uint16_t> indices16;
  std::vector<std::uint32_t> indices32;

  MeshArrays asRecords16() const {
    MeshArrays arrays;
    arrays.vertices = vertices;
    arrays.indices16 = indices16;
    return arrays;
  }
  MeshArrays asArrays32() const {
    MeshArrays arrays;
    arrays.positions = positions;
    arrays.normals = normals;
    arrays.lightmapUvs = lightmapUvs;
    arrays.indices32 = indices32;
    return arrays;
  }
};

testing::TestMesh fileMeshForCallbacks() {
  return testing::meshOf({{0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 1, 0, 0, 1, 0}, {0, 1, 0, 0, 0, 1, 0, 0, 0, 1}},
                         {0, 1, 2});
}

CallerMesh randomCallerMesh(std::uint32_t seed, int triangles) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  CallerMesh mesh;
  for (int t = 0; t < triangles; ++t) {
    const float cu = unit(random), cv = unit(random), scale = 0.002f + 0.1f * unit(random) * unit(random);
    for (int k = 0; k < 3; ++k) {
      Vertex v{};
      v.position = {unit(random) * 10, unit(random) * 10, unit(random) * 10};
      v.normal = {unit(random) - 0.5f, unit(random) - 0.5f, unit(random)};
      v.lightmapU = cu + (unit(random) - 0.5f) * scale;
      v.lightmapV = cv + (unit(random) - 0.5f) * scale;
      mesh.vertices.push_back(v);
      mesh.positions.insert(mesh.positions.end(), {v.position.x, v.position.y, v.position.z});
      mesh.normals.insert(mesh.normals.end(), {v.normal.x, v.normal.y, v.normal.z});
      mesh.lightmapUvs.insert(mesh.lightmapUvs.end(), {v.lightmapU, v.lightmapV});
      mesh.indices16.push_back(static_cast<std::uint16_t>(mesh.vertices.size() - 1));
      mesh.indices32.push_back(static_cast<std::uint32_t>(mesh.vertices.size() - 1));
    }
  }
  return mesh;
}

// The same mesh as a loaded record, for the plain per-texel reference.
MeshRecord asMeshRecord(const CallerMesh& mesh) {
  std::vector<testing::TestVertex> vertices;
  for (const Vertex& v : mesh.vertices) {
    vertices.push_back({v.position.x, v.position.y, v.position.z, v.normal.x, v.normal.y, v.normal.z, 0, 0,
                        v.lightmapU, v.lightmapV});
  }
  const testing::TestMesh test = testing::meshOf(vertices, mesh.indices16);
  MeshRecord record;
  record.vertexSize = record.vertexStride = 40;
  record.vertexCount = test.vertexCount;
  record.indexCount = test.indexCount;
  record.vertices.assign(test.vertexBytes.begin(), test.vertexBytes.end());
  record.indices.assign(test.indices.begin(), test.indices.end());
  return record;
}

bool sameSamples(const SampleGrid& a, const SampleGrid& b) {
  return a.width() == b.width() && a.height() == b.height() && std::memcmp(a.data(), b.data(), a.cellCount() * sizeof(Sample)) == 0;
}

// Any size from 1 to 16384 follows the same rules: every vertex form and
// index width gives the bytes of the plain per-texel algorithm at that size.
TEST(LibraryApi, EverySizeMatchesThePlainAlgorithm) {
  const std::vector<CallerMesh> meshes = {randomCallerMesh(5, 300), randomCallerMesh(6, 200)};
  const MeshRecord records[] = {asMeshRecord(meshes[0]), asMeshRecord(meshes[1])};
  for (std::int32_t size : {1, 3, 100, 1000, 2048}) {
    SampleGrid expected;
    ASSERT_TRUE(SampleGrid::make(size, expected));
    for (const MeshRecord& record : records) testing::referenceRasteriseMesh(record, size, expected);

    const MeshArrays forms[] = {meshes[0].asRecords16(), meshes[1].asArrays32()};
    SampleGrid actual;
    ASSERT_TRUE(sampleMeshes(forms, size, actual));
    EXPECT_TRUE(sameSamples(actual, expected)) << size;
  }
}

TEST(LibraryApi, ArraysThatDoNotFitAreRefusedByName) {
  const CallerMesh mesh = randomCallerMesh(7, 4);
  const std::vector<float> shortNormals(mesh.normals.begin(), mesh.normals.end() - 3);
  const std::vector<float> oddPositions(mesh.positions.begin(), mesh.positions.end() - 1);
  const std::vector<std::uint32_t> pastTheEnd = {0, 1, 12};
  const std::vector<std::uint16_t> notTriples = {0, 1};
  struct Case {
    const char* label;
    MeshArrays arrays;
    std::int32_t size;
    const char* problem;
    std::uint64_t offset;
  };
  MeshArrays both = mesh.asRecords16();
  both.positions = mesh.positions;
  MeshArrays bothIndices = mesh.asRecords16();
  bothIndices.indices32 = mesh.indices32;
  MeshArrays normals = mesh.asArrays32();
  normals.normals = shortNormals;
  MeshArrays positions = mesh.asArrays32();
  positions.positions = oddPositions;
  MeshArrays uvs = mesh.asArrays32();
  uvs.lightmapUvs = std::span<const float>(mesh.lightmapUvs).first(6);
  MeshArrays past = mesh.asArrays32();
  past.indices32 = pastTheEnd;
  MeshArrays triples = mesh.asRecords16();
  triples.indices16 = notTriples;
  const std::vector<float> longNormals = [&] {
    std::vector<float> normals = mesh.normals;
    normals.insert(normals.end(), {0, 0, 1});
    return normals;
  }();
  MeshArrays longer = mesh.asArrays32();
  longer.normals = longNormals;
  MeshArrays recordsAndUvs = mesh.asRecords16();
  recordsAndUvs.lightmapUvs = mesh.lightmapUvs;
  const Case cases[] = {
      {"size 0", mesh.asRecords16(), 0, "size: outside 1 to 16384", 0},
      {"size 16385", mesh.asRecords16(), 16385, "size: outside 1 to 16384", 0},
      {"both vertex forms", both, 64, "vertices: give either records or positions, normals and lightmapUvs", 0},
      {"both index widths", bothIndices, 64, "indices: give either indices16 or indices32", 0},
      {"positions", positions, 64, "positions: length is not a multiple of 3", 0},
      {"normals", normals, 64, "normals: length differs from that of positions", 0},
      {"longer normals", longer, 64, "normals: length differs from that of positions", 0},
      {"records and uvs", recordsAndUvs, 64, "vertices: give either records or positions, normals and lightmapUvs", 0},
      {"lightmapUvs", uvs, 64, "lightmapUvs: length is not 2 per vertex of positions", 0},
      {"index past the end", past, 64, "indices: an entry names a vertex past the end of the vertices", 2},
      {"not triples", triples, 64, "indices: length is not a multiple of 3", 0},
  };
  for (const Case& c : cases) {
    SampleGrid grid;
    ASSERT_TRUE(SampleGrid::make(8, grid));
    const Result result = sampleMesh(c.arrays, c.size, grid);
    EXPECT_EQ(result.status, Status::InvalidArgument) << c.label;
    EXPECT_STREQ(result.problem, c.problem) << c.label;
    EXPECT_EQ(result.offset, c.offset) << c.label;
    EXPECT_EQ(grid.size(), 8) << c.label << ": a refusal leaves the grid as it was";
  }
  // The largest size is a size: a grid of 6 GB of address space, of which
  // only the texels written are ever touched.
  SampleGrid largest;
  ASSERT_TRUE(sampleMesh(mesh.asRecords16(), kLargestSize, largest));
  EXPECT_EQ(largest.size(), 16384);

  // A refusal names the mesh by its position in the list, and the offset
  // is that position again for a length, or the entry for an index.
  struct Later {
    const char* label;
    MeshArrays arrays;
    std::uint64_t offset;
  };
  for (const Later& later : {Later{"positions", positions, 3}, Later{"normals", normals, 3}, Later{"uvs", uvs, 3},
                             Later{"not triples", triples, 3}, Later{"index past the end", past, 2}}) {
    const MeshArrays four[] = {mesh.asRecords16(), mesh.asArrays32(), mesh.asRecords16(), later.arrays};
    SampleGrid grid;
    const Result result = sampleMeshes(four, 64, grid);
    EXPECT_EQ(result.status, Status::InvalidArgument) << later.label;
    EXPECT_EQ(result.mesh, 3u) << later.label;
    EXPECT_EQ(result.offset, later.offset) << later.label;
  }
}

// Paths that are null, and callbacks that throw, come back as results.
TEST(LibraryApi, NullPathsAndThrowingCallbacksAreResults) {
  SampleGrid grid;
  ASSERT_TRUE(SampleGrid::make(4, grid));
  MeshFile file;
  EXPECT_EQ(writeSamplesFile(nullptr, grid).status, Status::InvalidArgument);
  EXPECT_EQ(readSamplesFile(nullptr, grid).status, Status::InvalidArgument);
  EXPECT_EQ(loadMeshFile(nullptr, file).status, Status::InvalidArgument);
  EXPECT_EQ(sampleMeshFile(nullptr, 4, grid).status, Status::InvalidArgument);

  testing::TemporaryFolder folder;
  const std::string path = (folder / "m.kvx").string();
  testing::writeFile(path, testing::kvxFile({{fileMeshForCallbacks()}}));
  const std::string bytes = testing::readFile(path);
  for (const bool inOpened : {true, false}) {
    LoadOptions throwing;
    (inOpened ? throwing.opened : throwing.loaded) = [] { throw 1; };
    EXPECT_EQ(loadMeshFile(path.c_str(), file, throwing).status, Status::Cancelled) << inOpened;
    EXPECT_EQ(file.groupCount(), 0);
    EXPECT_EQ(loadMeshFileFromMemory({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, file,
                                     throwing).status,
              Status::Cancelled);
    EXPECT_EQ(sampleMeshFile(path.c_str(), 4, grid, throwing).status, Status::Cancelled) << inOpened;
  }
}

TEST(LibraryApi, ProgressRisesToOneAndCancelStops) {
  const CallerMesh mesh = randomCallerMesh(8, 20000);
  std::vector<double> reports;
  SampleOptions options;
  options.threads = 2;
  options.progress = [&reports](double fraction) { reports.push_back(fraction); };
  SampleGrid grid;
  ASSERT_TRUE(sampleMesh(mesh.asRecords16(), 512, grid, options));
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back(), 1.0);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));

  // A flag set before the call, and a callback that throws, both cancel.
  std::atomic<bool> cancel{true};
  SampleOptions cancelled;
  cancelled.cancel = &cancel;
  EXPECT_EQ(sampleMesh(mesh.asRecords16(), 512, grid, cancelled).status, Status::Cancelled);
  SampleOptions throwing;
  throwing.progress = [](double) { throw 1; };
  EXPECT_EQ(sampleMesh(mesh.asRecords16(), 512, grid, throwing).status, Status::Cancelled);
  EXPECT_EQ(grid.size(), 512) << "the earlier grid stays";
}

// Several callers at once, each with its own grid and thread count, get the
// samples one caller alone gets. (Run under the thread sanitizer in CI.)
TEST(LibraryApi, CallersOnSeveralThreadsGetTheSameSamples) {
  const CallerMesh mesh = randomCallerMesh(9, 3000);
  SampleGrid alone;
  ASSERT_TRUE(sampleMesh(mesh.asArrays32(), 300, alone));
  std::vector<SampleGrid> grids(4);
  {
    std::vector<std::jthread> callers;
    for (std::size_t c = 0; c < grids.size(); ++c) {
      callers.emplace_back([&, c] {
        SampleOptions options;
        options.threads = 1 + c % 3;
        EXPECT_TRUE(sampleMesh(c % 2 ? mesh.asArrays32() : mesh.asRecords16(), 300, grids[c], options));
      });
    }
  }
  for (const SampleGrid& grid : grids) EXPECT_TRUE(sameSamples(grid, alone));
}

TEST(LibraryApi, SamplesFilesOfAnySizeRoundTrip) {
  const CallerMesh mesh = randomCallerMesh(10, 50);
  const std::string path = ::testing::TempDir() + "/any-size.samples";
  for (std::int32_t size : {1, 7, 1500}) {
    SampleGrid written, read;
    ASSERT_TRUE(sampleMesh(mesh.asRecords16(), size, written));
    ASSERT_TRUE(writeSamplesFile(path.c_str(), written));
    ASSERT_TRUE(readSamplesFile(path.c_str(), read));
    EXPECT_TRUE(sameSamples(written, read)) << size;
  }
  std::remove(path.c_str());
  EXPECT_STREQ(version(), "1.2.0");
}

}  // namespace
}  // namespace lumivex

namespace lumivex {
namespace {

// A mesh of `triangles` small triangles spread over the map, as a file mesh,
// with records of `recordBytes` (40, or a format-1041 size).
testing::TestMesh fileMesh(std::uint32_t seed, int triangles, std::int32_t recordBytes = 40) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<testing::TestVertex> vertices;
  std::vector<std::uint16_t> indices;
  for (int t = 0; t < triangles; ++t) {
    const float u = unit(random), v = unit(random), size = 0.001f + 0.02f * unit(random);
    for (int k = 0; k < 3; ++k) {
      vertices.push_back({unit(random), unit(random), unit(random), unit(random), unit(random), 1, 0, 0,
                          u + size * unit(random), v + size * unit(random)});
      indices.push_back(static_cast<std::uint16_t>(vertices.size() - 1));
    }
  }
  testing::TestMesh mesh = testing::meshOf(vertices, indices);
  if (recordBytes != 40) {
    std::string records;
    for (std::size_t k = 0; k < vertices.size(); ++k) {
      records += (mesh.vertexBytes.substr(40 * k, 40) + std::string(24, '\x33')).substr(0, std::size_t(recordBytes));
    }
    mesh.formatCode = 1041;
    mesh.vertexSize = recordBytes;
    mesh.vertexBytes = records;
  }
  return mesh;
}

// Sampling a file while reading it from its end, a few megabytes at a time,
// gives the bytes of loading it whole and sampling its first group: across
// many runs of meshes, with a mesh larger than a run, with records shorter
// and longer than 40 bytes, and when the last meshes settle every texel so
// that the rest is never read. A damaged file is refused before `loaded`.
TEST(SampleMeshFile, EqualsLoadingWholeThenSampling) {
  testing::TestMesh cover = testing::meshOf(
      {{0, 0, 0, 0, 0, 1, 0, 0, -0.1f, -0.1f}, {1, 0, 0, 0, 0, 1, 0, 0, 2.1f, -0.1f}, {0, 1, 0, 0, 0, 1, 0, 0, -0.1f, 2.1f}},
      {0, 1, 2});
  // Runs of 64 KB here (4 MB in use): the same cuts, on small files.
  RunLimits limits;
  limits.runBytes = 64 << 10;
  limits.largestStreamedMesh = 512 << 10;
  std::vector<testing::TestMesh> many;
  for (std::uint32_t m = 0; m < 14; ++m) many.push_back(fileMesh(m, 300));  // about 38 KB each
  std::vector<testing::TestMesh> mixed = {fileMesh(20, 100, 39), fileMesh(21, 1500), fileMesh(22, 100, 47),
                                          fileMesh(23, 300)};  // the second is over 64 KB
  std::vector<testing::TestMesh> settledEarly = many;
  settledEarly.push_back(cover);
  const std::vector<testing::TestMesh> loadedWhole = {fileMesh(40, 100), fileMesh(41, 5000)};  // over 512 KB
  const std::string files[] = {testing::kvxFile({many, {fileMesh(30, 5)}}), testing::kvxFile({mixed}),
                               testing::kvxFile({settledEarly}), testing::kvxFile({loadedWhole})};
  const std::string path = ::testing::TempDir() + "/streamed.kvx";
  for (const std::string& file : files) {
    testing::writeFile(path, file);
    for (GridSize size : {GridSize{128, 128}, GridSize{300, 97}}) {
      for (std::size_t threads : {1u, 2u}) {
        MeshFile whole;
        SampleGrid expected, streamed;
        ASSERT_TRUE(loadMeshFile(path.c_str(), whole));
        SampleOptions options;
        options.threads = threads;
        // On two threads, at texel centres with every channel: the ids of
        // meshes read in later runs count from the group's first mesh.
        options.ids = options.barycentrics = threads == 2;
        options.samplePoint = threads == 2 ? SamplePoint::Centre : SamplePoint::Corner;
        ASSERT_TRUE(sampleFirstGroup(whole, size, expected, options));
        int loadedCalls = 0;
        LoadOptions load;
        load.loaded = [&loadedCalls] { ++loadedCalls; };
        ASSERT_TRUE(sampleMeshFileInRuns(path.c_str(), size, streamed, load, options, limits));
        EXPECT_EQ(loadedCalls, 1);
        EXPECT_TRUE(sameSamples(streamed, expected)) << file.size() << " " << size.width << " " << threads;
        EXPECT_TRUE(std::equal(streamed.meshIds().begin(), streamed.meshIds().end(), expected.meshIds().begin(),
                               expected.meshIds().end()));
        EXPECT_TRUE(std::equal(streamed.triangleIds().begin(), streamed.triangleIds().end(),
                               expected.triangleIds().begin(), expected.triangleIds().end()));
        EXPECT_TRUE(std::equal(streamed.barycentrics().begin(), streamed.barycentrics().end(),
                               expected.barycentrics().begin(), expected.barycentrics().end()));
        EXPECT_EQ(streamed.stats().coveredTexels, expected.stats().coveredTexels);
        if (threads == 2 && &file == &files[0]) {
          std::set<std::uint32_t> meshes(streamed.meshIds().begin(), streamed.meshIds().end());
          EXPECT_GT(meshes.size(), 5u) << "texels from meshes of several runs";
        }
      }
    }
    // Cut inside the last array: refused, with the loader's own reason.
    testing::writeFile(path, file.substr(0, file.size() - 3));
    MeshFile whole;
    SampleGrid grid;
    int loadedCalls = 0;
    LoadOptions load;
    load.loaded = [&loadedCalls] { ++loadedCalls; };
    const Result loaded = loadMeshFile(path.c_str(), whole);
    const Result sampled = sampleMeshFileInRuns(path.c_str(), 128, grid, load, {}, limits);
    EXPECT_EQ(sampled.status, Status::Damaged);
    EXPECT_EQ(reason(sampled), reason(loaded));
    EXPECT_EQ(loadedCalls, 0);
  }
  std::remove(path.c_str());
}

// A source read by position whose reads fail from the `failing`-th on.
class FailingSource final : public ByteSource {
 public:
  FailingSource(std::string bytes, std::size_t failing) : bytes_(std::move(bytes)), failing_(failing) {}
  std::ptrdiff_t readSome(void*, std::size_t) override { return -1; }
  std::optional<std::uint64_t> length() const override { return bytes_.size(); }
  std::ptrdiff_t readSomeAt(std::uint64_t at, void* destination, std::size_t count) const override {
    if (++reads_ >= failing_) return -1;
    if (at >= bytes_.size()) return 0;
    const std::size_t take = std::min<std::size_t>(count, bytes_.size() - at);
    std::memcpy(destination, bytes_.data() + at, take);
    return static_cast<std::ptrdiff_t>(take);
  }
  std::size_t reads() const { return reads_; }

 private:
  std::string bytes_;
  std::size_t failing_;
  mutable std::atomic<std::size_t> reads_{0};
};

// A read that fails, whichever it is (the headers', a run's, a run read
// ahead), ends the call with ReadError and leaves the grid as it was; once
// no read fails the samples are those of the file.
TEST(SampleMeshFile, AFailedReadIsAReadErrorWhicheverReadItIs) {
  std::vector<testing::TestMesh> many;
  for (std::uint32_t m = 0; m < 12; ++m) many.push_back(fileMesh(50 + m, 300));
  const std::string file = testing::kvxFile({many});
  RunLimits limits;
  limits.runBytes = 64 << 10;
  MeshFile whole;
  SampleGrid expected;
  ASSERT_TRUE(loadMeshFileFromMemory({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()}, whole));
  ASSERT_TRUE(sampleFirstGroup(whole, 200, expected));
  FailingSource counting(file, std::numeric_limits<std::size_t>::max());
  SampleGrid grid;
  ASSERT_TRUE(sampleSourceInRuns(counting, 200, grid, {}, {}, limits));
  ASSERT_TRUE(sameSamples(grid, expected));
  ASSERT_GT(counting.reads(), 5u);
  for (std::size_t failing = 1; failing <= counting.reads(); ++failing) {
    for (std::size_t threads : {1u, 2u}) {
      FailingSource source(file, failing);
      SampleGrid kept;
      ASSERT_TRUE(SampleGrid::make(3, kept));
      SampleOptions options;
      options.threads = threads;
      const Result result = sampleSourceInRuns(source, 200, kept, {}, options, limits);
      EXPECT_EQ(result.status, Status::ReadError) << "read " << failing << " fails";
      EXPECT_EQ(kept.size(), 3) << "read " << failing << " fails";
    }
  }
}

// Another process rewriting the file in place while it is sampled (the same
// layout, new values): whatever was read may mix the two, so the call ends
// with ReadError. The file's times are set back first, so that the rewrite
// changes them even on a file system with a coarse clock.
TEST(SampleMeshFile, AFileRewrittenWhileReadIsRefused) {
  std::vector<testing::TestMesh> first, second;
  for (std::uint32_t m = 0; m < 14; ++m) {
    first.push_back(fileMesh(m, 300));
    second.push_back(fileMesh(100 + m, 300));
  }
  const std::string before = testing::kvxFile({first}), after = testing::kvxFile({second});
  ASSERT_EQ(before.size(), after.size());
  testing::TemporaryFolder folder;
  const std::string path = (folder / "rewritten.kvx").string();
  const auto rewrite = [&] {
    const int descriptor = open(path.c_str(), O_WRONLY);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(pwrite(descriptor, after.data(), after.size(), 0), static_cast<ssize_t>(after.size()));
    close(descriptor);
  };
  RunLimits limits;
  limits.runBytes = 64 << 10;
  for (int when = 0; when < 3; ++when) {
    testing::writeFile(path, before);
    const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
    LoadOptions load;
    SampleOptions options;
    bool done = false;
    const auto once = [&] {
      if (!done) rewrite();
      done = true;
    };
    if (when == 0) load.loaded = once;
    if (when == 1) options.progress = [&](double) { once(); };
    SampleGrid grid;
    if (when < 2) {
      const Result result = sampleMeshFileInRuns(path.c_str(), 256, grid, load, options, limits);
      EXPECT_EQ(result.status, Status::ReadError) << when;
      EXPECT_STREQ(result.problem, "the file changed while it was read") << when;
      EXPECT_EQ(grid.size(), 0) << when;
    } else {
      load.opened = once;
      MeshFile file;
      EXPECT_EQ(loadMeshFile(path.c_str(), file, load).status, Status::ReadError);
      EXPECT_EQ(file.groupCount(), 0);
    }
  }
  // Untouched, the same file samples as before.
  testing::writeFile(path, before);
  SampleGrid grid;
  EXPECT_TRUE(sampleMeshFileInRuns(path.c_str(), 256, grid, {}, {}, limits));
}

// A regular file may report no bytes and hold some (files under /proc, some
// network and user-space file systems): it is read to its end all the same.
TEST(LoadMeshFile, FilesThatReportNoBytesAreReadToTheirEnd) {
  MeshFile file;
  const Result result = loadMeshFile("/proc/self/status", file);
  EXPECT_EQ(result.status, Status::Damaged);
  EXPECT_GT(result.offset, 4u) << reason(result) << ": its bytes were read";
}

}  // namespace
}  // namespace lumivex
