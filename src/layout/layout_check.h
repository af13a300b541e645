#pragma once
// The faults of a lightmap layout that a baker trips on, at a given size:
// lightmap UVs outside [0, 1]; triangles of zero lightmap area; texels whose
// corner lies strictly inside two or more triangles (stacked, mirrored or
// overlapping islands: one of the surfaces gets no sample there); triangles
// that hold no texel corner (they get no sample at all), with the smallest
// power-of-two size at which every one of them would. Containment is decided
// exactly, on the texel-space corners the sampler itself forms.

#include <lumivex/layout.h>

#include <span>

#include "sampling/sampled_mesh.h"

namespace lumivex {

// The check of described meshes (their lightmap UVs and positions). False
// when cancelled (or a callback threw); the report is then incomplete.
bool checkLayoutOf(std::span<const SampledMesh> meshes, std::int32_t size, const LayoutCheckOptions& options,
                   LayoutReport& report);

// The area of a triangle in the model, in double; 0 when not finite.
double surfaceArea(const Vector3& a, const Vector3& b, const Vector3& c);

}  // namespace lumivex
