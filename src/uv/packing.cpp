#include "uv/packing.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace lumivex::uv {

// The largest density at which `fits` holds, searched from `start`: down by
// halves while nothing fits; once something has, up by `growth` while it keeps
// fitting (with no growth the first fit is kept), then bisection until the
// density that fails is within `tolerance` of the one that fits. 0 when
// nothing fits at all.
double largestFittingDensity(double start, double growth, double tolerance, const std::function<bool(double)>& fits,
                             const std::function<void(int step)>& stepDone) {
  double fitting = 0, failing = 0, next = start;
  for (int step = 0; step < 60; ++step) {
    if (fits(next)) {
      fitting = next;
    } else {
      failing = next;
    }
    stepDone(step);
    if (fitting == 0) {
      next *= 0.5;
      if (!(next > 1e-300)) break;
    } else if (failing == 0) {
      if (growth == 0) break;
      next = fitting * growth;
    } else if (failing / fitting < tolerance) {
      break;
    } else {
      next = std::sqrt(fitting * failing);
    }
  }
  return fitting;
}

// A chart under two texels across in either direction: it gets a spare texel
// each way, so that it can be moved onto a texel corner.
bool isTiny(const ChartShape& shape, double density) { return shape.height * density < 2.0; }

namespace {

// Cells of whole texels: the chart, the spare texel of a tiny chart, and the padding.
std::int32_t cellsFor(double extent, double density, bool tiny, std::int32_t padding) {
  return static_cast<std::int32_t>(std::ceil(extent * density)) + (tiny ? 1 : 0) + padding;
}

}  // namespace

// Bottom-left packing on a skyline, tallest first. False when a chart does
// not fit within the square's padding.
bool pack(const std::vector<ChartShape>& shapes, const std::vector<std::uint32_t>& order, double density,
          std::int32_t size, std::int32_t padding, std::vector<Placement>& placements) {
  struct Segment {
    std::int32_t x, y, width;
  };
  std::vector<Segment> skyline = {{padding, padding, size - padding}};
  placements.assign(shapes.size(), {});
  for (std::uint32_t chart : order) {
    const bool tiny = isTiny(shapes[chart], density);
    const std::int32_t width = cellsFor(shapes[chart].width, density, tiny, padding);
    const std::int32_t height = cellsFor(shapes[chart].height, density, tiny, padding);
    std::size_t bestIndex = skyline.size();
    std::int32_t bestY = size + 1, bestX = 0;
    for (std::size_t i = 0; i < skyline.size(); ++i) {
      const std::int32_t x = skyline[i].x;
      if (x + width > size) break;
      std::int32_t y = 0, covered = 0;
      for (std::size_t j = i; j < skyline.size() && covered < width; ++j) {
        y = std::max(y, skyline[j].y);
        covered += skyline[j].width;
      }
      if (y + height <= size && y < bestY) {
        bestY = y, bestX = x, bestIndex = i;
      }
    }
    if (bestIndex == skyline.size()) return false;
    placements[chart] = {bestX, bestY};
    // The chart's top becomes the skyline over its width.
    std::vector<Segment> next(skyline.begin(), skyline.begin() + static_cast<std::ptrdiff_t>(bestIndex));
    next.push_back({bestX, bestY + height, width});
    const std::int32_t end = bestX + width;
    for (std::size_t j = bestIndex; j < skyline.size(); ++j) {
      const std::int32_t segmentEnd = skyline[j].x + skyline[j].width;
      if (segmentEnd <= end) continue;
      const std::int32_t start = std::max(skyline[j].x, end);
      next.push_back({start, skyline[j].y, segmentEnd - start});
    }
    skyline.clear();
    for (const Segment& s : next) {
      if (!skyline.empty() && skyline.back().y == s.y) {
        skyline.back().width += s.width;
      } else {
        skyline.push_back(s);
      }
    }
  }
  return true;
}

// ---- Packing chart shapes -------------------------------------------------
// Each chart, laid out at the density, covers cells of whole texels: per row
// the span from its leftmost to its rightmost touched cell. The square keeps
// which cells are taken; a chart goes to the lowest, then leftmost, place
// where its spans widened by the padding (in every direction) meet no taken
// cell, so that charts nest into the room other charts leave.

// The cells a chart's triangles touch, in coordinates relative to its cell origin.
Footprint footprintOf(const std::vector<Triangle2>& triangles) {
  Footprint footprint;
  double maxX = 0, maxY = 0;
  for (const Triangle2& t : triangles) {
    for (const Vec2& p : t) maxX = std::max(maxX, p.x), maxY = std::max(maxY, p.y);
  }
  footprint.width = static_cast<std::int32_t>(std::floor(maxX)) + 1;
  footprint.height = static_cast<std::int32_t>(std::floor(maxY)) + 1;
  footprint.rows.assign(static_cast<std::size_t>(footprint.height), Span{footprint.width, -1});
  for (const Triangle2& t : triangles) {
    const double low = std::min({t[0].y, t[1].y, t[2].y}), high = std::max({t[0].y, t[1].y, t[2].y});
    const auto firstRow = static_cast<std::int32_t>(std::floor(low));
    const auto lastRow = std::min(static_cast<std::int32_t>(std::floor(high)), footprint.height - 1);
    for (std::int32_t row = std::max(firstRow, 0); row <= lastRow; ++row) {
      // The triangle's extent within the slab row <= y <= row + 1.
      const double bottom = row, top = row + 1.0;
      double x0 = INFINITY, x1 = -INFINITY;
      for (std::size_t k = 0; k < 3; ++k) {
        const Vec2 a = t[k], b = t[(k + 1) % 3];
        if (a.y >= bottom && a.y <= top) x0 = std::min(x0, a.x), x1 = std::max(x1, a.x);
        for (const double line : {bottom, top}) {
          if ((a.y - line) * (b.y - line) < 0) {
            const double x = a.x + (b.x - a.x) * (line - a.y) / (b.y - a.y);
            x0 = std::min(x0, x), x1 = std::max(x1, x);
          }
        }
      }
      if (!(x0 <= x1)) continue;
      Span& span = footprint.rows[static_cast<std::size_t>(row)];
      span.first = std::min(span.first, std::max(static_cast<std::int32_t>(std::floor(x0)), 0));
      span.last = std::max(span.last, std::min(static_cast<std::int32_t>(std::floor(x1)), footprint.width - 1));
    }
  }
  return footprint;
}

// The footprint widened by `padding` cells every way: rows -padding to height + padding - 1.
std::vector<Span> widened(const Footprint& footprint, std::int32_t padding) {
  std::vector<Span> rows(static_cast<std::size_t>(footprint.height + 2 * padding), Span{INT32_MAX, INT32_MIN});
  for (std::int32_t row = 0; row < footprint.height; ++row) {
    const Span span = footprint.rows[static_cast<std::size_t>(row)];
    if (span.first > span.last) continue;
    for (std::int32_t r = row; r <= row + 2 * padding; ++r) {
      Span& wide = rows[static_cast<std::size_t>(r)];
      wide.first = std::min(wide.first, span.first - padding);
      wide.last = std::max(wide.last, span.last + padding);
    }
  }
  return rows;
}

// The lowest, then leftmost, place for the footprint with its widened rows
// clear of taken cells, its own cells `padding` from the square's edges.
bool place(const Atlas& atlas, const Footprint& footprint, const std::vector<Span>& wide, std::int32_t size,
           std::int32_t padding, std::int32_t firstY, Placement& placement) {
  const std::int32_t lastX = size - padding - footprint.width, lastY = size - padding - footprint.height;
  std::size_t blocking = 0;  // the widened row that blocked last: tried first
  for (std::int32_t y = std::max(firstY, padding); y <= lastY; ++y) {
    // Rows without a free run as long as the chart's: no place on this line.
    bool roomy = true;
    for (std::size_t r = 0; r < wide.size() && roomy; ++r) {
      const std::int32_t row = y - padding + static_cast<std::int32_t>(r);
      const Span span = wide[r];
      // Widened spans lie within the square wherever the chart itself does.
      roomy = span.first > span.last || atlas.longestFree(row) >= span.last - span.first + 1;
    }
    if (!roomy) continue;
    std::int32_t x = padding;
    while (x <= lastX) {
      bool clear = true;
      for (std::size_t i = 0; i < wide.size(); ++i) {
        const std::size_t r = (blocking + i) % wide.size();
        const Span span = wide[r];
        if (span.first > span.last) continue;
        const std::int32_t row = y - padding + static_cast<std::int32_t>(r);
        const std::int32_t taken = atlas.lastTaken(row, x + span.first, x + span.last);
        if (taken >= 0) {
          x = taken - span.first + 1;
          blocking = r;
          clear = false;
          break;
        }
      }
      if (clear) {
        placement = {x, y};
        return true;
      }
    }
  }
  return false;
}

// A float u with size x u exactly `texel` in single precision, as the sampler
// forms it, where there is one near texel / size; otherwise the nearest.
float lightmapCoordinate(double texel, std::int32_t size) {
  const auto u = static_cast<float>(texel / size);
  const float s = static_cast<float>(size);
  if (texel != std::floor(texel) || s * u == static_cast<float>(texel)) return u;
  for (float candidate : {std::nextafter(u, 0.0f), std::nextafter(u, 1.0f)}) {
    if (s * candidate == static_cast<float>(texel) && candidate >= 0.0f && candidate <= 1.0f) return candidate;
  }
  return u;
}

}  // namespace lumivex::uv
