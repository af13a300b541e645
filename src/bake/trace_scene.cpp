#include "bake/trace_scene.h"

#include <embree3/rtcore.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace lumivex::bake {

Float3 normalised(Float3 v) {
  const float length = std::sqrt(dot(v, v));
  if (!(length > 0.0f) || !std::isfinite(length)) return {};
  return v * (1.0f / length);
}

bool traceable(Float3 p) {
  constexpr float kLimit = 1e18f;
  return std::fabs(p.x) <= kLimit && std::fabs(p.y) <= kLimit && std::fabs(p.z) <= kLimit;  // false for NaN too
}

namespace {

// Reading a caller's arrays at their strides (sampleMeshes has checked them).
std::size_t vertexCountOf(const MeshArrays& mesh) {
  if (!mesh.vertices.empty()) return mesh.vertices.size();
  const std::size_t stride = mesh.positionStride != 0 ? mesh.positionStride : 12;
  const std::size_t bytes = mesh.positions.size() * sizeof(float);
  return bytes < 12 ? 0 : (bytes - 12) / stride + 1;
}

Float3 attributeAt(std::span<const float> array, std::size_t stride, std::size_t k) {
  if (array.empty()) return {};
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(array.data()) + k * (stride != 0 ? stride : 12);
  Float3 value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

Float3 positionAt(const MeshArrays& mesh, std::size_t k) {
  if (!mesh.vertices.empty()) return {mesh.vertices[k].position.x, mesh.vertices[k].position.y, mesh.vertices[k].position.z};
  return attributeAt(mesh.positions, mesh.positionStride, k);
}

Float3 normalAt(const MeshArrays& mesh, std::size_t k) {
  if (!mesh.vertices.empty()) return {mesh.vertices[k].normal.x, mesh.vertices[k].normal.y, mesh.vertices[k].normal.z};
  return attributeAt(mesh.normals, mesh.normalStride, k);
}

std::size_t triangleCountOf(const MeshArrays& mesh) {
  return (mesh.indices16.empty() ? mesh.indices32.size() : mesh.indices16.size()) / 3;
}

std::uint32_t indexAt(const MeshArrays& mesh, std::size_t entry) {
  return mesh.indices16.empty() ? mesh.indices32[entry] : mesh.indices16[entry];
}

// The triangle's unit normal turned toward its vertex normals, where they
// say anything; counter-clockwise corners otherwise.
Float3 orientedNormal(const MeshArrays& mesh, const std::uint32_t corner[3]) {
  const Float3 a = positionAt(mesh, corner[0]), b = positionAt(mesh, corner[1]), c = positionAt(mesh, corner[2]);
  const Float3 face = normalised(cross(b - a, c - a));
  const Float3 vertexSum = normalAt(mesh, corner[0]) + normalAt(mesh, corner[1]) + normalAt(mesh, corner[2]);
  const float agreement = dot(face, vertexSum);
  return std::isfinite(agreement) && agreement < 0.0f ? face * -1.0f : face;
}

}  // namespace

struct TraceScene::Device {
  RTCDevice device = nullptr;
  RTCScene scene = nullptr;
  ~Device() {
    if (scene != nullptr) rtcReleaseScene(scene);
    if (device != nullptr) rtcReleaseDevice(device);
  }
};

TraceScene::TraceScene() : device_(std::make_unique<Device>()) {}
TraceScene::~TraceScene() = default;

const char* TraceScene::build(std::span<const MeshArrays> meshes) {
  device_->device = rtcNewDevice("verbose=0");
  if (device_->device == nullptr) return "the ray tracer could not start";
  device_->scene = rtcNewScene(device_->device);
  // Robust: rays through shared edges and corners do not slip between
  // triangles, so a closed box stays closed.
  rtcSetSceneFlags(device_->scene, RTC_SCENE_FLAG_ROBUST);
  Float3 low{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
  Float3 high = low * -1.0f;
  frontNormals_.resize(meshes.size());
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    const MeshArrays& mesh = meshes[m];
    const std::size_t vertexCount = vertexCountOf(mesh), triangleCount = triangleCountOf(mesh);
    RTCGeometry geometry = rtcNewGeometry(device_->device, RTC_GEOMETRY_TYPE_TRIANGLE);
    auto* vertices = static_cast<float*>(rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0,
                                                                 RTC_FORMAT_FLOAT3, 12, vertexCount));
    auto* indices = static_cast<std::uint32_t*>(
        rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 12, triangleCount));
    if ((vertices == nullptr && vertexCount > 0) || (indices == nullptr && triangleCount > 0)) {
      rtcReleaseGeometry(geometry);
      return "not enough memory for the ray tracer";
    }
    for (std::size_t k = 0; k < vertexCount; ++k) {
      const Float3 p = positionAt(mesh, k);
      std::memcpy(vertices + 3 * k, &p, sizeof p);
      if (traceable(p)) {  // what the ray tracer leaves out does not size the scene
        low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
        high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
      }
    }
    frontNormals_[m].resize(triangleCount);
    for (std::size_t t = 0; t < triangleCount; ++t) {
      std::uint32_t corner[3] = {indexAt(mesh, 3 * t), indexAt(mesh, 3 * t + 1), indexAt(mesh, 3 * t + 2)};
      std::memcpy(indices + 3 * t, corner, sizeof corner);
      frontNormals_[m][t] = orientedNormal(mesh, corner);
    }
    rtcCommitGeometry(geometry);
    // Geometry ids are given in order from 0: the mesh's position.
    rtcAttachGeometryByID(device_->scene, geometry, static_cast<unsigned>(m));
    rtcReleaseGeometry(geometry);
  }
  rtcCommitScene(device_->scene);
  if (rtcGetDeviceError(device_->device) != RTC_ERROR_NONE) return "the ray tracer could not build the scene";
  const Float3 extent = high - low;
  diagonal_ = low.x <= high.x ? std::sqrt(dot(extent, extent)) : 0.0f;
  return "";
}

namespace {

RTCRay rayOf(Float3 origin, Float3 direction, float maxDistance) {
  RTCRay ray{};
  ray.org_x = origin.x;
  ray.org_y = origin.y;
  ray.org_z = origin.z;
  ray.dir_x = direction.x;
  ray.dir_y = direction.y;
  ray.dir_z = direction.z;
  ray.tnear = 0.0f;
  ray.tfar = maxDistance;
  ray.mask = 0xFFFFFFFFu;
  return ray;
}

}  // namespace

Hit TraceScene::nearest(Float3 origin, Float3 direction, float maxDistance) const {
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  RTCRayHit query{};
  query.ray = rayOf(origin, direction, maxDistance);
  query.hit.geomID = RTC_INVALID_GEOMETRY_ID;
  Hit hit;
  if (!traceable(origin) || !traceable(direction)) return hit;
  rtcIntersect1(device_->scene, &context, &query);
  if (query.hit.geomID == RTC_INVALID_GEOMETRY_ID) return hit;
  hit.found = true;
  hit.mesh = query.hit.geomID;
  hit.triangle = query.hit.primID;
  hit.distance = query.ray.tfar;
  hit.frontFace = dot(frontNormal(hit.mesh, hit.triangle), direction) < 0.0f;
  return hit;
}

bool TraceScene::blocked(Float3 origin, Float3 direction, float maxDistance) const {
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  if (!traceable(origin) || !traceable(direction)) return false;
  RTCRay ray = rayOf(origin, direction, maxDistance);
  rtcOccluded1(device_->scene, &context, &ray);
  // A blocked ray comes back with tfar set to minus infinity.
  return ray.tfar < 0.0f;
}

}  // namespace lumivex::bake
