// The baked model as binary glTF, written with tinygltf (whose implementation
// is compiled here, without its image codecs: the PNG comes encoded).

#define TINYGLTF_IMPLEMENTATION
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#define TINYGLTF_NO_INCLUDE_STB_IMAGE
#define TINYGLTF_NO_INCLUDE_STB_IMAGE_WRITE
#include <tiny_gltf.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <sstream>

#include "bake_outputs.h"

namespace lumivex {

namespace {

// Appends bytes to the one buffer, 4-byte aligned as accessors need, and
// makes a buffer view of them.
int addView(tinygltf::Model& model, const void* data, std::size_t bytes, int target) {
  std::vector<unsigned char>& buffer = model.buffers[0].data;
  buffer.resize((buffer.size() + 3) / 4 * 4);
  tinygltf::BufferView view;
  view.buffer = 0;
  view.byteOffset = buffer.size();
  view.byteLength = bytes;
  view.target = target;
  const auto* begin = static_cast<const unsigned char*>(data);
  buffer.insert(buffer.end(), begin, begin + bytes);
  model.bufferViews.push_back(view);
  return static_cast<int>(model.bufferViews.size() - 1);
}

int addAccessor(tinygltf::Model& model, int view, int componentType, int type, std::size_t count) {
  tinygltf::Accessor accessor;
  accessor.bufferView = view;
  accessor.componentType = componentType;
  accessor.type = type;
  accessor.count = count;
  model.accessors.push_back(accessor);
  return static_cast<int>(model.accessors.size() - 1);
}

// One primitive: positions (with their bounds, which glTF requires),
// normals, the lightmap coordinates as sets 0 and 1, and the triangles.
tinygltf::Primitive primitiveOf(tinygltf::Model& model, const BakedMesh& mesh) {
  std::vector<float> positions, normals, uvs;
  std::vector<double> low(3, std::numeric_limits<double>::max()), high(3, std::numeric_limits<double>::lowest());
  for (const Vertex& vertex : mesh.vertices) {
    const float p[3] = {vertex.position.x, vertex.position.y, vertex.position.z};
    for (int axis = 0; axis < 3; ++axis) {
      low[axis] = std::min<double>(low[axis], p[axis]);
      high[axis] = std::max<double>(high[axis], p[axis]);
    }
    positions.insert(positions.end(), p, p + 3);
    normals.insert(normals.end(), {vertex.normal.x, vertex.normal.y, vertex.normal.z});
    uvs.insert(uvs.end(), {vertex.lightmapU, vertex.lightmapV});
  }
  const std::size_t count = mesh.vertices.size();
  tinygltf::Primitive primitive;
  primitive.mode = TINYGLTF_MODE_TRIANGLES;
  const int position = addAccessor(model, addView(model, positions.data(), 4 * positions.size(), TINYGLTF_TARGET_ARRAY_BUFFER),
                                   TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC3, count);
  model.accessors[static_cast<std::size_t>(position)].minValues = low;
  model.accessors[static_cast<std::size_t>(position)].maxValues = high;
  primitive.attributes["POSITION"] = position;
  primitive.attributes["NORMAL"] = addAccessor(
      model, addView(model, normals.data(), 4 * normals.size(), TINYGLTF_TARGET_ARRAY_BUFFER),
      TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC3, count);
  const int uv = addAccessor(model, addView(model, uvs.data(), 4 * uvs.size(), TINYGLTF_TARGET_ARRAY_BUFFER),
                             TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC2, count);
  primitive.attributes["TEXCOORD_0"] = uv;
  primitive.attributes["TEXCOORD_1"] = uv;
  primitive.indices = addAccessor(
      model, addView(model, mesh.indices.data(), 4 * mesh.indices.size(), TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER),
      TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT, TINYGLTF_TYPE_SCALAR, mesh.indices.size());
  primitive.material = 0;
  return primitive;
}

// Unlit, showing the lightmap through the second coordinate set, filtered
// linearly and clamped at the edges as a lightmap is.
void addLightmapMaterial(tinygltf::Model& model, const std::vector<std::uint8_t>& png) {
  tinygltf::Image image;
  image.name = "lightmap";
  image.mimeType = "image/png";
  image.bufferView = addView(model, png.data(), png.size(), 0);
  model.images.push_back(image);
  tinygltf::Sampler sampler;
  sampler.magFilter = TINYGLTF_TEXTURE_FILTER_LINEAR;
  sampler.minFilter = TINYGLTF_TEXTURE_FILTER_LINEAR;
  sampler.wrapS = TINYGLTF_TEXTURE_WRAP_CLAMP_TO_EDGE;
  sampler.wrapT = TINYGLTF_TEXTURE_WRAP_CLAMP_TO_EDGE;
  model.samplers.push_back(sampler);
  tinygltf::Texture texture;
  texture.source = 0;
  texture.sampler = 0;
  model.textures.push_back(texture);
  tinygltf::Material material;
  material.name = "lightmap";
  material.pbrMetallicRoughness.baseColorTexture.index = 0;
  material.pbrMetallicRoughness.baseColorTexture.texCoord = 1;
  material.pbrMetallicRoughness.metallicFactor = 0.0;
  material.extensions["KHR_materials_unlit"] = tinygltf::Value(tinygltf::Value::Object());
  model.materials.push_back(material);
  model.extensionsUsed.push_back("KHR_materials_unlit");
}

}  // namespace

std::vector<std::uint8_t> glbBytes(const BakedModel& baked, const std::vector<std::uint8_t>& png, std::string& problem) {
  try {
    tinygltf::Model model;
    model.asset.version = "2.0";
    model.asset.generator = std::string("lumivex-bake ") + version();
    model.buffers.resize(1);
    addLightmapMaterial(model, png);
    tinygltf::Mesh mesh;
    mesh.name = "baked";
    for (const BakedMesh& part : baked.meshes) {
      if (!part.indices.empty()) mesh.primitives.push_back(primitiveOf(model, part));
    }
    model.meshes.push_back(mesh);
    tinygltf::Node node;
    node.mesh = 0;
    model.nodes.push_back(node);
    tinygltf::Scene scene;
    scene.nodes.push_back(0);
    model.scenes.push_back(scene);
    model.defaultScene = 0;
    std::ostringstream stream;
    if (!tinygltf::TinyGLTF().WriteGltfSceneToStream(&model, stream, false, true)) {
      problem = "the glTF writer failed";
      return {};
    }
    const std::string bytes = stream.str();
    return {bytes.begin(), bytes.end()};
  } catch (const std::exception&) {
    problem = "not enough memory";
    return {};
  }
}

}  // namespace lumivex
