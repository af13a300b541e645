#include "model_import.h"

#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <assimp/Importer.hpp>
#include <assimp/config.h>

namespace lumivex {

namespace {

Vertex vertexOf(const aiMesh& mesh, unsigned index, unsigned lightmapSet, bool hasLightmapSet) {
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
  if (hasLightmapSet) {
    vertex.lightmapU = mesh.mTextureCoords[lightmapSet][index].x;
    vertex.lightmapV = mesh.mTextureCoords[lightmapSet][index].y;
  }
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

}  // namespace

bool meansNoTriangles(const std::string& importLibraryMessage) {
  // The import library's own validation texts for a scene without meshes
  // and for a mesh of points only.
  for (const char* text : {"no meshes in the model", "mNumMeshes is 0", "contains no faces"}) {
    if (importLibraryMessage.find(text) != std::string::npos) return true;
  }
  return false;
}

ReadResult readModel(const std::string& path, unsigned lightmapSet) {
  ReadResult result;
  Assimp::Importer importer;
  // Meshes keep their own names (and the order the model gives them) rather
  // than being merged by material, so that warnings can name them.
  importer.SetPropertyBool(AI_CONFIG_PP_PTV_KEEP_HIERARCHY, true);
  // World space, triangles only, normals where the model has none; and the
  // import library's own check of what it built, which refuses broken scenes
  // before anything reads them.
  const unsigned steps = aiProcess_ValidateDataStructure | aiProcess_PreTransformVertices | aiProcess_Triangulate |
                         aiProcess_GenSmoothNormals | aiProcess_SortByPType;
  const aiScene* scene = importer.ReadFile(path, steps);
  if (scene == nullptr || (scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) != 0) {
    result.message = importer.GetErrorString();
    // A scene the import library marks incomplete for want of meshes holds
    // no triangles; so does one its validation refuses for that reason.
    const bool noMeshes = scene != nullptr && scene->mNumMeshes == 0;
    if (result.message.empty()) result.message = "no meshes in the model";
    result.status = noMeshes || meansNoTriangles(result.message) ? ReadStatus::NoTriangles : ReadStatus::Unreadable;
    return result;
  }
  for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
    const aiMesh& mesh = *scene->mMeshes[m];
    if ((mesh.mPrimitiveTypes & aiPrimitiveType_TRIANGLE) == 0) continue;
    if (const std::string fault = faultyFaceIndex(mesh); !fault.empty()) {
      result.status = ReadStatus::Unreadable;
      result.message = fault;
      result.model.meshes.clear();
      return result;
    }
    ImportedMesh& imported = result.model.meshes.emplace_back();
    imported.name = mesh.mName.C_Str();
    imported.uvSets = mesh.GetNumUVChannels();
    imported.hasLightmapSet = lightmapSet < AI_MAX_NUMBER_OF_TEXTURECOORDS && mesh.HasTextureCoords(lightmapSet);
    imported.vertices.reserve(mesh.mNumVertices);
    for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
      imported.vertices.push_back(vertexOf(mesh, v, lightmapSet, imported.hasLightmapSet));
    }
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
      const aiFace& face = mesh.mFaces[f];
      if (face.mNumIndices != 3) continue;
      imported.triangles.insert(imported.triangles.end(), face.mIndices, face.mIndices + 3);
    }
    if (imported.triangles.empty()) result.model.meshes.pop_back();
  }
  return result;
}

}  // namespace lumivex
