#pragma once
// Packing the charts into the square: first their rectangles on a skyline
// (an estimate of the density), then their shapes cell by cell. Each chart,
// laid out at the density, covers cells of whole texels, row by row, with its
// holes and hollows; the square keeps which cells are taken, and a chart goes,
// in whichever of its four quarter turns does best, to the place a rule
// picks (the lowest, then leftmost; the one whose top is lowest; or, near
// the lowest, the one that touches most of what is there) where its
// cells widened by the padding (in every direction) meet no taken cell, so
// that charts nest into the room other charts leave.

#include <array>
#include <bit>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <vector>

#include "uv/chart_shapes.h"

namespace lumivex::uv {

struct Placement {
  std::int32_t x = 0, y = 0;  // texel where the chart's cells start
  std::int32_t turns = 0;     // quarter turns counter-clockwise, 0 to 3, applied before moving
};

struct Span {
  std::int32_t first, last;  // cells; empty when first > last
};

// Cells of a chart, row by row from its bottom: each row any number of
// spans, in order, apart from each other.
struct CellImage {
  std::int32_t width = 0, height = 0;
  std::vector<std::uint32_t> rowStart;  // height + 1 entries: row r's spans are [rowStart[r], rowStart[r + 1])
  std::vector<Span> spans;

  std::span<const Span> row(std::int32_t r) const {
    return {spans.data() + rowStart[static_cast<std::size_t>(r)], spans.data() + rowStart[static_cast<std::size_t>(r) + 1]};
  }
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
  // The first x from `from` on with cells x to x + length - 1 of `row` all
  // free (past the square's edge counts as free), or -1 when there is none
  // before `limit`.
  std::int32_t firstFit(std::int32_t row, std::int32_t from, std::int32_t length, std::int32_t limit) const {
    while (from <= limit) {
      const std::int32_t taken = lastTaken(row, from, from + length - 1);
      if (taken < 0) return from;
      from = taken + 1;
    }
    return -1;
  }
  // How many cells of [first, last] in `row` are taken or outside the square.
  std::int32_t takenCount(std::int32_t row, std::int32_t first, std::int32_t last) const {
    if (first > last) return 0;
    if (row < 0 || row >= size_) return last - first + 1;
    std::int32_t count = std::max(0, -first) + std::max(0, last - size_ + 1);
    first = std::max(first, 0), last = std::min(last, size_ - 1);
    const std::uint64_t* words = &bits_[static_cast<std::size_t>(row) * words_];
    for (std::int32_t w = first / 64; first <= last && w <= last / 64; ++w) {
      count += std::popcount(words[w] & maskIn(w, first, last));
    }
    return count;
  }
  void take(std::int32_t row, std::int32_t first, std::int32_t last) {
    std::uint64_t* words = &bits_[static_cast<std::size_t>(row) * words_];
    for (std::int32_t w = first / 64; first <= last && w <= last / 64; ++w) words[w] |= maskIn(w, first, last);
    // The longest free run, taken and free stretches of a word at a time.
    std::int32_t longest = 0, run = 0;
    for (std::int32_t w = 0; w < words_; ++w) {
      const std::int32_t cells = std::min(64, size_ - 64 * w);
      for (std::int32_t x = 0; x < cells;) {
        const std::uint64_t rest = words[w] >> x;
        if ((rest & 1) != 0) {
          x += std::countr_one(rest);
          run = 0;
        } else {
          const std::int32_t free = std::min(std::countr_zero(rest), cells - x);  // 64 where all are free
          x += free;
          run += free;
          longest = std::max(longest, run);
        }
      }
    }
    longestFree_[static_cast<std::size_t>(row)] = longest;
  }

 private:
  // The bits of word w that hold cells of [first, last] (which meets it).
  static std::uint64_t maskIn(std::int32_t w, std::int32_t first, std::int32_t last) {
    const std::int32_t from = std::max(first, w * 64) % 64, to = std::min(last, w * 64 + 63) % 64;
    return (~std::uint64_t{0} >> (63 - to)) & (~std::uint64_t{0} << from);
  }
  std::int32_t size_, words_;
  std::vector<std::uint64_t> bits_;
  std::vector<std::int32_t> longestFree_;
};

// The largest density at which `fits` holds, searched from `start`: down by
// `shrink` (below 1) while nothing fits; once something has, up by `growth`
// while it keeps fitting (with no growth the first fit is kept), then
// bisection until the density that fails is within `tolerance` of the one
// that fits. 0 when nothing fits at all. With `threads` above 1, the density
// after the next (if the next answers as the last did) is asked beside it,
// so `fits` must allow two calls at once; the densities that count, and the
// result, are the same for any number.
double largestFittingDensity(double start, double shrink, double growth, double tolerance,
                             const std::function<bool(double)>& fits, const std::function<void(int step)>& stepDone,
                             std::size_t threads = 1);

// A density above `fitting` (which fits some other way) at which `fits`
// holds: up by `step` while it does, then bisection until the density that
// fails is within `tolerance` of the one that fits; `fitting` itself when no
// higher density fits. `fits` is never asked at `fitting` or below.
double raisedDensity(double fitting, double step, double tolerance, const std::function<bool(double)>& fits);

// A chart under two texels across in either direction: it is moved onto a
// texel corner (and gets a spare texel each way in the rectangles' estimate).
bool isTiny(const ChartShape& shape, double density);

// Bottom-left packing of the charts' rectangles on a skyline, in `order`.
// False when a chart does not fit within the square's padding.
bool pack(const std::vector<ChartShape>& shapes, const std::vector<std::uint32_t>& order, double density,
          std::int32_t size, std::int32_t padding, std::vector<Placement>& placements);

// The cells a chart's triangles touch (any part of a cell, its border
// included), in coordinates relative to its cell origin.
CellImage cellsOf(const std::vector<Triangle2>& triangles);

// The same cells from the outline of the triangles alone, when they overlap
// nowhere: each side of a triangle that no other triangle shares, as it runs
// in its triangle (counter-clockwise). A row holds the cells the outline's
// sides touch and those between where the outline crosses the row's lower
// line, which is all the triangles touch there: from a point of them in the
// row, straight down, the triangles reach the outline within the row or that
// line. For a chart of many small faces, the outline is a small part of its
// sides.
CellImage outlineCellsOf(const std::vector<std::array<Vec2, 2>>& outline);

// The image widened by `padding` cells every way (a cell within `padding`
// cells of one of the image's, across or diagonally): row r and column c of
// the result are row r - padding and column c - padding of the image.
CellImage widened(const CellImage& image, std::int32_t padding);

// The image turned a quarter counter-clockwise: cell (x, y) goes to
// (height - 1 - y, x). A chart's points go likewise: (x, y) to (height - y, x).
CellImage turned(const CellImage& image);
Vec2 turnedPoint(Vec2 p, std::int32_t height);

// True when every cell of `inner` is one of `outer`'s (rows aligned).
bool withinImage(const CellImage& inner, const CellImage& outer);

// One way to place a chart: its cells in one quarter turn, widened by the
// padding, and the row to start looking from (no lower place is free).
struct PlaceCandidate {
  const CellImage* cells;
  const CellImage* wide;
  std::int32_t turns;
  std::int32_t firstY;
  const CellImage* ring = nullptr;  // PlaceRule::MostContact only: `wide` widened by one more cell
};

// Which place a chart takes among those where it fits.
enum class PlaceRule {
  Lowest,     // the lowest row, then the leftmost place, of any candidate (ties to the fewer turns)
  LowestTop,  // the place whose top row is lowest, then leftmost: keeps the packing's upper edge low
  // Of each candidate's leftmost places on the lowest row where any fits and
  // the kContactRows above, the one whose ring (the cells just beyond the
  // padding) has the largest share taken or outside the square; ties to the
  // lower, then leftmost. A chart nests against the charts and edges there
  // instead of leaving a gap beside them.
  MostContact,
};

// Rows above the lowest place that MostContact looks at: a step or notch a
// few texels up is in reach. Over assimp-testmodels, with 0, 2, 4, 8 and
// 16 rows the ways that use the rule cover 0.0030, 0.0036, 0.0038, 0.0043
// and 0.0042 more of the square on average, in about the same time (it goes
// to the packings tried, not the rows).
inline constexpr std::int32_t kContactRows = 8;

// A place among the candidates, by `rule`, where the cells' widened image
// meets no taken cell and the cells themselves lie `padding` from the
// square's edges; the candidates' firstY are raised to rows below which
// they do not fit. MostContact needs each candidate's ring.
bool place(const Atlas& atlas, std::span<PlaceCandidate> candidates, std::int32_t size, std::int32_t padding,
           PlaceRule rule, Placement& placement);

// Where to start looking for a chart's place. Cells are only ever taken, so
// a chart alike one placed before need not look below the row from which
// that one could go (many models have thousands of charts alike). Up to
// `alikeCells` across, any chart of the same box and turn counts as alike
// (it may miss a lower place: small charts fill the holes left); a larger
// one only when its widened cells hold the last one's, so that no lower
// place is missed. The images must outlive it.
class StartRows {
 public:
  explicit StartRows(std::int32_t alikeCells) : alikeCells_(alikeCells) {}
  // The row from which the chart's cells, widened as `wide`, in `turns`, may go.
  std::int32_t startFor(const CellImage& cells, const CellImage& wide, std::int32_t turns) const;
  // Remembers, once a chart is placed, each of its candidates' firstY.
  void placed(std::span<const PlaceCandidate> candidates);

 private:
  struct Last {
    std::int32_t row = 0;
    const CellImage* wide = nullptr;
  };
  std::int32_t alikeCells_;
  std::map<std::array<std::int32_t, 3>, Last> last_;  // by width, height and turns
};

// Marks the cells taken at their place.
void take(Atlas& atlas, const CellImage& cells, const Placement& placement);

// A float u with size x u exactly `texel` in single precision, as the sampler
// forms it, where there is one near texel / size; otherwise the nearest.
float lightmapCoordinate(double texel, std::int32_t size);

}  // namespace lumivex::uv
