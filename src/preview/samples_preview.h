#pragma once
// Reading a samples file back, summing it up, and drawing it as images.

#include <cstddef>
#include <string>

#include "output/sample_grid.h"

namespace lumivex {

enum class SamplesFileStatus { Read, CannotOpen, BadHeader, WrongLength };

struct SamplesFileResult {
  SamplesFileStatus status = SamplesFileStatus::Read;
  std::string message;
  SampleGrid grid;
};

// Checks the header (the size twice: 128, 256 or 512) and the length
// (8 + 24 x size x size bytes) before reading the samples.
SamplesFileResult readSamplesFile(const std::string& fileName);

// A texel counts as covered unless all six of its values are +0.
bool isCovered(const Sample& sample);

struct SamplesSummary {
  std::size_t texels = 0;
  std::size_t covered = 0;
  Vector3 minimum{};  // bounds of the finite covered positions
  Vector3 maximum{};
  std::size_t notUnitNormals = 0;  // covered texels whose normal is not of unit length (zero normals among them)
  std::size_t nonFinite = 0;       // covered texels holding an infinity or a NaN
};

SamplesSummary summarise(const SampleGrid& grid);

// PREFIX-normal.png (n x 0.5 + 0.5 as RGB), PREFIX-position.png (positions
// scaled to their bounds) and PREFIX-coverage.png (white where covered).
// Row 0 of the grid is the top row of each image; uncovered texels are black.
// Returns the name of the first image that could not be written, or "".
std::string writePreviewImages(const SampleGrid& grid, const SamplesSummary& summary, const std::string& prefix);

}  // namespace lumivex
