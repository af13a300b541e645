// Samples for a baker, straight from an engine's vertex buffer: interleaved
// 32-byte vertices (position, normal, lightmap UV) sampled into a 1024 x 512
// lightmap at texel centres, with each texel's triangle and barycentric
// weights, through which any other vertex attribute (here a colour) is
// interpolated at the same point. Checks itself: the positions interpolated
// the same way must land on the sampled ones.
//
//   bake_samples_example [OUTPUT.ppm]   writes the colours as an image

#include <lumivex/lumivex.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

struct EngineVertex {  // 32 bytes, as a renderer's vertex buffer holds them
  float position[3];
  float normal[3];
  float lightmapUv[2];
};
static_assert(sizeof(EngineVertex) == 32);

// A bent strip of quads, with a colour per vertex beside the buffer.
void makeStrip(std::vector<EngineVertex>& vertices, std::vector<std::uint32_t>& indices, std::vector<float>& colours) {
  constexpr int kColumns = 64, kRows = 16;
  for (int j = 0; j <= kRows; ++j) {
    for (int i = 0; i <= kColumns; ++i) {
      const float s = static_cast<float>(i) / kColumns, t = static_cast<float>(j) / kRows;
      const float angle = s * 3.0f;
      vertices.push_back({{std::cos(angle) * 2, t, std::sin(angle) * 2},
                          {std::cos(angle), 0, std::sin(angle)},
                          {0.01f + 0.98f * s, 0.02f + 0.96f * t}});
      colours.insert(colours.end(), {s, t, 1.0f - s});
      if (i < kColumns && j < kRows) {
        const auto k = static_cast<std::uint32_t>(j * (kColumns + 1) + i);
        indices.insert(indices.end(), {k, k + 1, k + kColumns + 1, k + 1, k + kColumns + 2, k + kColumns + 1});
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<EngineVertex> vertices;
  std::vector<std::uint32_t> indices;
  std::vector<float> colours;
  makeStrip(vertices, indices, colours);

  // The buffer as floats; each attribute a view into it, 32 bytes a vertex.
  const std::span<const float> buffer(&vertices[0].position[0], vertices.size() * 8);
  lumivex::MeshArrays mesh;
  mesh.positions = buffer.subspan(0);
  mesh.normals = buffer.subspan(3);
  mesh.lightmapUvs = buffer.subspan(6);
  mesh.positionStride = mesh.normalStride = mesh.lightmapUvStride = sizeof(EngineVertex);
  mesh.indices32 = indices;

  lumivex::SampleOptions options;
  options.samplePoint = lumivex::SamplePoint::Centre;
  options.ids = true;
  options.barycentrics = true;
  lumivex::SampleGrid grid;
  if (const lumivex::Result result = lumivex::sampleMesh(mesh, lumivex::GridSize{1024, 512}, grid, options); !result) {
    std::fprintf(stderr, "sampling failed: %s\n", lumivex::reason(result).c_str());
    return 1;
  }

  // The bake: each covered texel's colour, interpolated through its triangle and weights.
  std::vector<unsigned char> image(grid.cellCount() * 3, 0);
  double worstPositionError = 0;
  for (std::size_t cell = 0; cell < grid.cellCount(); ++cell) {
    const std::uint32_t triangle = grid.triangleIds()[cell];
    if (triangle == lumivex::kNoTriangle) continue;
    const float w1 = grid.barycentrics()[2 * cell], w2 = grid.barycentrics()[2 * cell + 1];
    const float weights[3] = {1.0f - w1 - w2, w1, w2};
    float colour[3] = {}, position[3] = {};
    for (int k = 0; k < 3; ++k) {
      const std::uint32_t v = indices[3 * triangle + static_cast<std::uint32_t>(k)];
      for (int c = 0; c < 3; ++c) {
        colour[c] += weights[k] * colours[3 * v + static_cast<std::uint32_t>(c)];
        position[c] += weights[k] * vertices[v].position[c];
      }
    }
    const lumivex::Vector3& sampled = grid.data()[cell].position;
    worstPositionError = std::fmax(worstPositionError, std::fabs(position[0] - sampled.x));
    worstPositionError = std::fmax(worstPositionError, std::fabs(position[1] - sampled.y));
    worstPositionError = std::fmax(worstPositionError, std::fabs(position[2] - sampled.z));
    for (int c = 0; c < 3; ++c) image[3 * cell + c] = static_cast<unsigned char>(std::lround(colour[c] * 255.0f));
  }

  const lumivex::SampleStats stats = grid.stats();
  std::printf("%d x %d texels sampled at their centres, %llu covered, %llu zero normals; positions through the "
              "weights within %.2g of the samples\n",
              grid.width(), grid.height(), static_cast<unsigned long long>(stats.coveredTexels),
              static_cast<unsigned long long>(stats.zeroNormals), worstPositionError);
  if (argc > 1) {
    std::string ppm = "P6\n1024 512\n255\n";
    ppm.append(image.begin(), image.end());
    if (!lumivex::writeWholeFile(argv[1], {reinterpret_cast<const std::uint8_t*>(ppm.data()), ppm.size()})) {
      std::fprintf(stderr, "cannot write %s\n", argv[1]);
      return 1;
    }
  }
  // Single-precision weights and coordinates within 2: a few ulps.
  return stats.coveredTexels > 400000 && worstPositionError < 1e-5 ? 0 : 1;
}
