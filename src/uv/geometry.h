#pragma once
// Small vector arithmetic in double for laying out charts.

#include <array>
#include <cmath>

namespace lumivex::uv {

struct Vec3 {
  double x, y, z;
};
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline double length(Vec3 a) { return std::sqrt(dot(a, a)); }
inline Vec3 scaled(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }

struct Vec2 {
  double x, y;
};
// Twice the signed area of o, a, b: positive when they turn counter-clockwise.
inline double cross2(Vec2 o, Vec2 a, Vec2 b) { return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x); }

using Triangle2 = std::array<Vec2, 3>;

}  // namespace lumivex::uv
