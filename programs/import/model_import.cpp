#include "model_import.h"

#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <assimp/Importer.hpp>
#include <cstdint>

#include "sampling/rasteriser.h"

namespace lumivex {

namespace {

constexpr LightmapSize kReportSize = 512;

Vertex vertexOf(const aiMesh& mesh, unsigned index, unsigned lightmapSet) {
  Vertex vertex{};
  const aiVector3D& p = mesh.mVertices[index];
  vertex.position = {p.x, p.y, p.z};
  if (mesh.HasNormals()) {
    const aiVector3D& n = mesh.mNormals[index];
    vertex.normal = {n.x, n.y, n.z};
  }
  if (mesh.HasTextureCoords(0)) {
    vertex.uv[0] = mesh.mTextureCoords[0][index].x;
    vertex.uv[1] = mesh.mTextureCoords[0][index].y;
  }
  vertex.lightmapU = mesh.mTextureCoords[lightmapSet][index].x;
  vertex.lightmapV = mesh.mTextureCoords[lightmapSet][index].y;
  return vertex;
}

// The first face index that names no vertex of the mesh, as a message; empty
// when there is none. The import library does not always catch them.
std::string faultyFaceIndex(const aiMesh& mesh) {
  for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
    const aiFace& face = mesh.mFaces[f];
    for (unsigned k = 0; k < face.mNumIndices; ++k) {
      if (face.mIndices[k] >= mesh.mNumVertices) {
        return "mesh \"" + std::string(mesh.mName.C_Str()) + "\" has a face naming vertex " +
               std::to_string(face.mIndices[k]) + " of " + std::to_string(mesh.mNumVertices);
      }
    }
  }
  return "";
}

// Appends the triangles of one model mesh, starting a new written mesh
// whenever the next triangle would take it past 65,535 vertices.
void appendTriangles(const aiMesh& mesh, unsigned lightmapSet, std::vector<MeshToWrite>& out) {
  std::vector<std::int32_t> slotOf(mesh.mNumVertices, -1);
  std::vector<unsigned> slotsInUse;
  const std::string baseName = mesh.mName.length > 0 ? mesh.mName.C_Str() : "mesh";
  MeshToWrite* current = nullptr;
  int part = 0;
  for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
    const aiFace& face = mesh.mFaces[f];
    if (face.mNumIndices != 3) continue;
    std::size_t newVertices = 0;
    for (unsigned k = 0; k < 3; ++k) newVertices += slotOf[face.mIndices[k]] < 0 ? 1 : 0;
    if (current == nullptr || current->vertices.size() + newVertices > kMaxVerticesPerMesh) {
      for (unsigned used : slotsInUse) slotOf[used] = -1;
      slotsInUse.clear();
      out.push_back({part == 0 ? baseName : baseName + "." + std::to_string(part), {}, {}});
      current = &out.back();
      ++part;
    }
    for (unsigned k = 0; k < 3; ++k) {
      const unsigned index = face.mIndices[k];
      if (slotOf[index] < 0) {
        slotOf[index] = static_cast<std::int32_t>(current->vertices.size());
        slotsInUse.push_back(index);
        current->vertices.push_back(vertexOf(mesh, index, lightmapSet));
      }
      current->indices.push_back(static_cast<std::uint16_t>(slotOf[index]));
    }
  }
}

struct LightmapCorners {
  float u[3];
  float v[3];
};

bool shareACorner(const LightmapCorners& a, const LightmapCorners& b) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      if (a.u[i] == b.u[j] && a.v[i] == b.v[j]) return true;
    }
  }
  return false;
}

}  // namespace

LightmapReport analyseLightmap(const std::vector<MeshToWrite>& meshes, const std::function<void(double)>& progress) {
  LightmapReport report;
  for (const MeshToWrite& mesh : meshes) report.triangles += mesh.indices.size() / 3;

  // Each texel remembers the first triangle that claimed it. A later claim by a
  // triangle sharing no lightmap corner with it is an overlap; neighbours
  // sharing an edge or a corner legitimately claim the texels on it.
  const std::size_t texels = static_cast<std::size_t>(kReportSize) * kReportSize;
  std::vector<std::int32_t> firstClaim(texels, -1);
  std::vector<bool> overlapped(texels, false);
  std::vector<LightmapCorners> corners;
  corners.reserve(report.triangles);

  std::size_t done = 0;
  for (const MeshToWrite& mesh : meshes) {
    for (std::size_t t = 0; t + 2 < mesh.indices.size(); t += 3) {
      const Vertex& a = mesh.vertices[mesh.indices[t]];
      const Vertex& b = mesh.vertices[mesh.indices[t + 1]];
      const Vertex& c = mesh.vertices[mesh.indices[t + 2]];
      const auto id = static_cast<std::int32_t>(corners.size());
      corners.push_back({{a.lightmapU, b.lightmapU, c.lightmapU}, {a.lightmapV, b.lightmapV, c.lightmapV}});
      const LightmapCorners& mine = corners.back();
      for (int k = 0; k < 3; ++k) {
        if (!(mine.u[k] >= 0.0f && mine.u[k] <= 1.0f && mine.v[k] >= 0.0f && mine.v[k] <= 1.0f)) {
          ++report.trianglesOutsideUnitSquare;
          break;
        }
      }
      if (isDegenerateInLightmap(a, b, c, kReportSize)) {
        ++report.zeroAreaTriangles;
      } else {
        forEachCoveredTexel(a, b, c, kReportSize, [&](std::int32_t col, std::int32_t row) {
          const std::size_t cell = static_cast<std::size_t>(row) * kReportSize + static_cast<std::size_t>(col);
          if (firstClaim[cell] < 0) {
            firstClaim[cell] = id;
          } else if (!overlapped[cell] && !shareACorner(corners[static_cast<std::size_t>(firstClaim[cell])], mine)) {
            overlapped[cell] = true;
            ++report.overlappingTexels;
          }
        });
      }
      if (progress && ++done % 65536 == 0) progress(static_cast<double>(done) / report.triangles);
    }
  }
  return report;
}

ImportResult importModel(const std::string& modelPath, const ImportOptions& options) {
  ImportResult result;
  Assimp::Importer importer;
  // World space, triangles only, normals where the model has none.
  const unsigned steps = aiProcess_PreTransformVertices | aiProcess_Triangulate | aiProcess_GenSmoothNormals |
                         aiProcess_SortByPType;
  const aiScene* scene = importer.ReadFile(modelPath, steps);
  if (scene == nullptr || (scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) != 0) {
    result.status = ImportStatus::Unreadable;
    result.message = importer.GetErrorString();
    if (result.message.empty()) result.message = "no meshes in the model";
    return result;
  }

  const unsigned lightmapSet = options.lightmapUvSet;
  for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
    const aiMesh& mesh = *scene->mMeshes[m];
    if ((mesh.mPrimitiveTypes & aiPrimitiveType_TRIANGLE) == 0) continue;
    if (lightmapSet >= AI_MAX_NUMBER_OF_TEXTURECOORDS || !mesh.HasTextureCoords(lightmapSet)) {
      result.status = ImportStatus::MissingUvSet;
      result.message = "mesh \"" + std::string(mesh.mName.C_Str()) + "\" has no UV set " +
                       std::to_string(lightmapSet) + " (it has " + std::to_string(mesh.GetNumUVChannels()) +
                       "); pick another with --lightmap-uv";
      result.meshes.clear();
      return result;
    }
    if (const std::string fault = faultyFaceIndex(mesh); !fault.empty()) {
      result.status = ImportStatus::Unreadable;
      result.message = fault;
      result.meshes.clear();
      return result;
    }
    appendTriangles(mesh, lightmapSet, result.meshes);
  }
  if (result.meshes.empty()) {
    result.status = ImportStatus::NoTriangles;
    result.message = "the model holds no triangles";
    return result;
  }
  result.report = analyseLightmap(result.meshes, options.progress);
  return result;
}

}  // namespace lumivex
