#pragma once
// Packing the charts into the square: first their rectangles on a skyline
// (an estimate of the density), then their shapes cell by cell. Each chart,
// laid out at the density, covers cells of whole texels; the square keeps
// which cells are taken, and a chart goes to the lowest, then leftmost, place
// where its cells widened by the padding (in every direction) meet no taken
// cell, so that charts nest into the room other charts leave.

#include <cstdint>
#include <functional>
#include <vector>

#include "uv/chart_shapes.h"

namespace lumivex::uv {

struct Placement {
  std::int32_t x = 0, y = 0;  // texel where the chart's rectangle starts
};

struct Span {
  std::int32_t first, last;  // cells; empty when first > last
};

struct Footprint {
  std::int32_t width = 0, height = 0;  // cells
  std::vector<Span> rows;              // per row of cells, from the chart's bottom
};

class Atlas {
 public:
  explicit Atlas(std::int32_t size)
      : size_(size),
        words_((size + 63) / 64),
        bits_(static_cast<std::size_t>(words_) * size, 0),
        longestFree_(static_cast<std::size_t>(size), size) {}
  // The longest run of free cells in `row` (rows outside the square: all free).
  std::int32_t longestFree(std::int32_t row) const {
    return row < 0 || row >= size_ ? size_ : longestFree_[static_cast<std::size_t>(row)];
  }
  // The highest taken cell in [first, last] of `row`, or -1.
  std::int32_t lastTaken(std::int32_t row, std::int32_t first, std::int32_t last) const {
    first = std::max(first, 0), last = std::min(last, size_ - 1);
    if (row < 0 || row >= size_ || first > last) return -1;
    const std::uint64_t* words = &bits_[static_cast<std::size_t>(row) * words_];
    for (std::int32_t w = last / 64; w >= first / 64; --w) {
      std::uint64_t word = words[w];
      if (w == last / 64 && last % 64 != 63) word &= (std::uint64_t{1} << (last % 64 + 1)) - 1;
      if (w == first / 64) word &= ~std::uint64_t{0} << (first % 64);
      if (word != 0) return w * 64 + 63 - std::countl_zero(word);
    }
    return -1;
  }
  void take(std::int32_t row, std::int32_t first, std::int32_t last) {
    std::uint64_t* words = &bits_[static_cast<std::size_t>(row) * words_];
    for (std::int32_t x = first; x <= last; ++x) words[x / 64] |= std::uint64_t{1} << (x % 64);
    std::int32_t longest = 0, run = 0;
    for (std::int32_t x = 0; x < size_; ++x) {
      run = (words[x / 64] >> (x % 64) & 1) != 0 ? 0 : run + 1;
      longest = std::max(longest, run);
    }
    longestFree_[static_cast<std::size_t>(row)] = longest;
  }

 private:
  std::int32_t size_, words_;
  std::vector<std::uint64_t> bits_;
  std::vector<std::int32_t> longestFree_;
};

// The largest density at which `fits` holds, searched from `start`: down by
// halves while nothing fits; once something has, up by `growth` while it keeps
// fitting (with no growth the first fit is kept), then bisection until the
// density that fails is within `tolerance` of the one that fits. 0 when
// nothing fits at all.
double largestFittingDensity(double start, double growth, double tolerance, const std::function<bool(double)>& fits,
                             const std::function<void(int step)>& stepDone);

// A chart under two texels across in either direction: it gets a spare texel
// each way, so that it can be moved onto a texel corner.
bool isTiny(const ChartShape& shape, double density);

// Bottom-left packing of the charts' rectangles on a skyline, in `order`.
// False when a chart does not fit within the square's padding.
bool pack(const std::vector<ChartShape>& shapes, const std::vector<std::uint32_t>& order, double density,
          std::int32_t size, std::int32_t padding, std::vector<Placement>& placements);

// The cells a chart's triangles touch, in coordinates relative to its cell origin.
Footprint footprintOf(const std::vector<Triangle2>& triangles);

// The footprint widened by `padding` cells every way: rows -padding to height + padding - 1.
std::vector<Span> widened(const Footprint& footprint, std::int32_t padding);

// The lowest, then leftmost, place for the footprint with its widened rows
// clear of taken cells, its own cells `padding` from the square's edges.
bool place(const Atlas& atlas, const Footprint& footprint, const std::vector<Span>& wide, std::int32_t size,
           std::int32_t padding, std::int32_t firstY, Placement& placement);

// A float u with size x u exactly `texel` in single precision, as the sampler
// forms it, where there is one near texel / size; otherwise the nearest.
float lightmapCoordinate(double texel, std::int32_t size);

}  // namespace lumivex::uv
