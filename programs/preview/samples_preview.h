#pragma once
// Summing up a samples file, and drawing it as images.

#include <cstddef>
#include <string>

#include <lumivex/lumivex.h>

namespace lumivex {

struct SamplesSummary {
  std::size_t texels = 0;
  std::size_t covered = 0;
  Vector3 minimum{};  // bounds of the finite covered positions
  Vector3 maximum{};
  std::size_t notUnitNormals = 0;  // covered texels whose normal is not of unit length (zero normals among them)
  std::size_t nonFinite = 0;       // covered texels holding an infinity or a NaN
};

SamplesSummary summarise(const SampleGrid& grid);

// Which way the grid's rows run in an image.
enum class RowOrder {
  Up,    // row 0 (lightmap v = 0) at the bottom, as UV editors draw it
  Down,  // row 0 at the top, as the file stores the rows
};

// PREFIX-normal.png (n x 0.5 + 0.5 as RGB), PREFIX-position.png (positions
// scaled to their bounds) and PREFIX-coverage.png (white where covered).
// Uncovered texels are black. Returns the name of the first image that could
// not be written, or "".
std::string writePreviewImages(const SampleGrid& grid, const SamplesSummary& summary, const std::string& prefix,
                               RowOrder order = RowOrder::Up);

}  // namespace lumivex
