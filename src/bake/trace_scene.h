#pragma once
// The meshes as the baker traces them: one ray-tracing scene of every
// triangle, and per triangle its front-facing unit normal.

#include <lumivex/lumivex.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace lumivex::bake {

struct Float3 {
  float x = 0, y = 0, z = 0;
};

inline Float3 operator+(Float3 a, Float3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Float3 operator-(Float3 a, Float3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Float3 operator*(Float3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline float dot(Float3 a, Float3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Float3 cross(Float3 a, Float3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
// The unit vector along v; zero for a zero or non-finite v.
Float3 normalised(Float3 v);

// Whether a ray may start at p (or travel along p): every component finite
// and within 1e18, under the ray tracer's own bound of about 1.8e18, past
// which it refuses a ray.
bool traceable(Float3 p);

// A ray's nearest hit: which triangle, how far, and whether its front faces the ray.
struct Hit {
  bool found = false;
  bool frontFace = false;
  std::uint32_t mesh = 0;
  std::uint32_t triangle = 0;
  float distance = 0;
};

class TraceScene {
 public:
  TraceScene();
  ~TraceScene();
  TraceScene(const TraceScene&) = delete;
  TraceScene& operator=(const TraceScene&) = delete;

  // Builds the scene; the arrays must already be known sound (sampleMeshes
  // accepts them). An empty problem text on success.
  const char* build(std::span<const MeshArrays> meshes);

  // A ray whose origin or direction is not traceable meets nothing.
  Hit nearest(Float3 origin, Float3 direction, float maxDistance) const;
  bool blocked(Float3 origin, Float3 direction, float maxDistance) const;

  // Front: the side the triangle's vertex normals point to, or the side its
  // corners turn counter-clockwise when they have none. Zero for a triangle
  // of no area.
  Float3 frontNormal(std::uint32_t mesh, std::uint32_t triangle) const { return frontNormals_[mesh][triangle]; }
  std::size_t triangleCount(std::uint32_t mesh) const { return frontNormals_[mesh].size(); }
  std::size_t meshCount() const { return frontNormals_.size(); }
  // The diagonal of the bounding box of every vertex.
  float diagonal() const { return diagonal_; }

 private:
  struct Device;
  std::unique_ptr<Device> device_;
  std::vector<std::vector<Float3>> frontNormals_;
  float diagonal_ = 0;
};

}  // namespace lumivex::bake
