// The reference baker on any mesh: positions, normals and lightmap
// coordinates from small values or raw float bit patterns (NaN, infinity,
// subnormals, huge), triangles naming any vertex, any light. It must return
// a result without a fault, an image of the grid's size, every value finite
// and at least 0, and the same bytes again on two threads.

#include <lumivex/bake.h>
#include <lumivex/lumivex.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"

namespace {

float valueFrom(FuzzInput& in) {
  const std::uint8_t kind = in.byte();
  if (kind < 200) return static_cast<float>(static_cast<int>(in.byte()) - 128) / 64.0f;  // near the unit box
  return in.rawFloat();
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::size_t vertexCount = 3 + in.byte() % 24;
  std::vector<lumivex::Vertex> vertices(vertexCount);
  for (lumivex::Vertex& vertex : vertices) {
    vertex.position = {valueFrom(in), valueFrom(in), valueFrom(in)};
    vertex.normal = {valueFrom(in), valueFrom(in), valueFrom(in)};
    vertex.lightmapU = 0.5f + valueFrom(in) / 2;
    vertex.lightmapV = 0.5f + valueFrom(in) / 2;
  }
  std::vector<std::uint32_t> indices(3 * (1 + in.byte() % 16));
  for (std::uint32_t& index : indices) index = in.byte() % vertexCount;
  lumivex::MeshArrays mesh;
  mesh.vertices = vertices;
  mesh.indices32 = indices;

  lumivex::BakeOptions options;
  const std::uint8_t mode = in.byte();
  options.ambientOcclusion = (mode & 1) != 0;
  options.sunIntensity = (mode & 2) != 0 ? 1.0f : 0.0f;
  options.sunDirection = {valueFrom(in), 1.0f, valueFrom(in)};
  options.bounces = (mode >> 2) % 3;
  options.rays = 1 + in.byte() % 4;
  options.dilate = in.byte() % 3;
  options.seed = in.byte();
  options.threads = 1;
  if (!std::isfinite(options.sunDirection.x) || !std::isfinite(options.sunDirection.z)) options.sunDirection = {0, 1, 0};

  lumivex::SampleOptions sampling;
  sampling.samplePoint = lumivex::SamplePoint::Centre;
  sampling.ids = true;
  lumivex::SampleGrid grid;
  const lumivex::GridSize gridSize{1 + in.byte() % 12, 1 + in.byte() % 12};
  if (!lumivex::sampleMesh(mesh, gridSize, grid, sampling)) return 0;
  lumivex::BakeImage image;
  if (!lumivex::bakeLightmap({&mesh, 1}, grid, options, image)) return 0;
  check(image.width == gridSize.width && image.height == gridSize.height);
  check(image.rgb.size() == 3 * grid.cellCount() && image.valid.size() == grid.cellCount());
  for (const float value : image.rgb) check(std::isfinite(value) && value >= 0.0f);
  options.threads = 2;
  lumivex::BakeImage again;
  check(lumivex::bakeLightmap({&mesh, 1}, grid, options, again).ok());
  check(std::memcmp(image.rgb.data(), again.rgb.data(), 4 * image.rgb.size()) == 0);
  return 0;
}
