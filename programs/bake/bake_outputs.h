#pragma once
// A baked lightmap as files: a linear OpenEXR image, a tone-mapped PNG, and
// the model with the lightmap as a binary glTF. Image row 0 is texel row 0
// (lightmap v = 0), as in the samples file and in glTF's texture coordinates.

#include <lumivex/bake.h>

#include <cstdint>
#include <string>
#include <vector>

#include "baked_model.h"

namespace lumivex {

// Half-float red, green, blue and alpha (1 where the image holds a value,
// 0 elsewhere), ZIP-compressed. Empty when the encoder fails.
std::vector<std::uint8_t> exrBytes(const BakeImage& image);

// 8-bit sRGB: the linear value times `exposure`, clipped to [0, 1].
std::vector<std::uint8_t> pngBytes(const BakeImage& image, float exposure);

// The model's meshes (positions, normals, the lightmap coordinates as both
// texture-coordinate sets), drawn unlit with the PNG on the second set, so
// that any glTF viewer shows the baked light. Empty, with `problem` set,
// when it cannot be written.
std::vector<std::uint8_t> glbBytes(const BakedModel& model, const std::vector<std::uint8_t>& png, std::string& problem);

}  // namespace lumivex
