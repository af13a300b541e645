#include "uv/packing.h"

#include "math/processor_count.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <cmath>

namespace lumivex::uv {

namespace {

// Where the search for the largest fitting density stands, and the density
// it asks next.
struct DensitySearch {
  double shrink, growth, tolerance;
  double fitting = 0, failing = 0, next;
  int step = 0;
  bool done = false;
  bool lastFitted = true;  // the guess for the next answer: mostly as the last one

  void answer(bool fits) {
    (fits ? fitting : failing) = next;
    lastFitted = fits;
    done = ++step >= 60;
    if (fitting == 0) {
      next *= shrink;
      done = done || !(next > 1e-300);
    } else if (failing == 0) {
      done = done || growth == 0;
      next = fitting * growth;
    } else if (failing / fitting < tolerance) {
      done = true;
    } else {
      next = std::sqrt(fitting * failing);
    }
  }
};

}  // namespace

// Each round asks the next density and, beside it, the one after it if the
// next answers as the last did; that second answer counts only when the guess
// was right, so the densities that count are those asked one at a time.
double largestFittingDensity(double start, double shrink, double growth, double tolerance,
                             const std::function<bool(double)>& fits, const std::function<void(int step)>& stepDone,
                             std::size_t threads) {
  DensitySearch search{shrink, growth, tolerance, 0, 0, start};
  while (!search.done) {
    // The density after this one, if the answer is as guessed, asked beside it.
    DensitySearch guessed = search;
    guessed.answer(search.lastFitted);
    const bool ahead = threads > 1 && !guessed.done;
    bool answers[2] = {};
    onWorkers(ahead ? 2 : 1, [&](std::size_t k) { answers[k] = fits(k == 0 ? search.next : guessed.next); });
    search.answer(answers[0]);
    stepDone(search.step - 1);
    if (ahead && !search.done && answers[0] == guessed.lastFitted) {
      search.answer(answers[1]);
      stepDone(search.step - 1);
    }
  }
  return search.fitting;
}

double raisedDensity(double fitting, double step, double tolerance, const std::function<bool(double)>& fits) {
  double failing = 0;
  for (int tries = 0; tries < 60; ++tries) {
    const double next = failing == 0 ? fitting * step : std::sqrt(fitting * failing);
    if (failing != 0 && failing / fitting < tolerance) break;
    (fits(next) ? fitting : failing) = next;
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

namespace {

// Sorts the spans of one row and merges those that touch or overlap.
void mergeRow(std::vector<Span>& row) {
  std::sort(row.begin(), row.end(), [](Span a, Span b) { return a.first < b.first; });
  std::size_t kept = 0;
  for (const Span& span : row) {
    if (kept > 0 && span.first <= row[kept - 1].last + 1) {
      row[kept - 1].last = std::max(row[kept - 1].last, span.last);
    } else {
      row[kept++] = span;
    }
  }
  row.resize(kept);
}

// An image from rows of spans, each row merged.
CellImage imageOf(std::int32_t width, std::vector<std::vector<Span>>& rows) {
  CellImage image;
  image.width = width;
  image.height = static_cast<std::int32_t>(rows.size());
  image.rowStart.reserve(rows.size() + 1);
  image.rowStart.push_back(0);
  for (std::vector<Span>& row : rows) {
    mergeRow(row);
    image.spans.insert(image.spans.end(), row.begin(), row.end());
    image.rowStart.push_back(static_cast<std::uint32_t>(image.spans.size()));
  }
  return image;
}

// Widens [x0, x1] by side a-b's extent in x within the slab row <= y <=
// row + 1: its ends within the slab and where it crosses the slab's lines.
void widenBySide(Vec2 a, Vec2 b, std::int32_t row, double& x0, double& x1) {
  const double bottom = row, top = row + 1.0;
  for (const Vec2& p : {a, b}) {
    if (p.y >= bottom && p.y <= top) x0 = std::min(x0, p.x), x1 = std::max(x1, p.x);
  }
  for (const double line : {bottom, top}) {
    if ((a.y - line) * (b.y - line) < 0) {
      const double x = a.x + (b.x - a.x) * (line - a.y) / (b.y - a.y);
      x0 = std::min(x0, x), x1 = std::max(x1, x);
    }
  }
}

// The cells from x0 to x1; empty (first > last) when x0 > x1.
Span cellsBetween(double x0, double x1) {
  if (!(x0 <= x1)) return {1, 0};
  return {static_cast<std::int32_t>(std::floor(x0)), static_cast<std::int32_t>(std::floor(x1))};
}

// The triangle's extent in x within the slab row <= y <= row + 1; empty
// (first > last) when it does not reach the slab.
Span extentInRow(const Triangle2& t, std::int32_t row) {
  double x0 = INFINITY, x1 = -INFINITY;
  for (std::size_t k = 0; k < 3; ++k) widenBySide(t[k], t[(k + 1) % 3], row, x0, x1);
  return cellsBetween(x0, x1);
}

}  // namespace

CellImage cellsOf(const std::vector<Triangle2>& triangles) {
  double maxX = 0, maxY = 0;
  for (const Triangle2& t : triangles) {
    for (const Vec2& p : t) maxX = std::max(maxX, p.x), maxY = std::max(maxY, p.y);
  }
  const auto width = static_cast<std::int32_t>(std::floor(maxX)) + 1;
  const auto height = static_cast<std::int32_t>(std::floor(maxY)) + 1;
  std::vector<std::vector<Span>> rows(static_cast<std::size_t>(height));
  for (const Triangle2& t : triangles) {
    const double low = std::min({t[0].y, t[1].y, t[2].y}), high = std::max({t[0].y, t[1].y, t[2].y});
    const double bottomRow = std::floor(low), topRow = std::floor(high);
    const auto firstRow = std::max(static_cast<std::int32_t>(bottomRow), 0);
    const auto lastRow = std::min(static_cast<std::int32_t>(topRow), height - 1);
    // A face within one row (most, in finely divided charts) spans its own
    // extent there: what extentInRow finds, without the edge crossings.
    const bool oneRow = bottomRow == topRow;
    for (std::int32_t row = firstRow; row <= lastRow; ++row) {
      Span span = oneRow ? Span{static_cast<std::int32_t>(std::floor(std::min({t[0].x, t[1].x, t[2].x}))),
                                static_cast<std::int32_t>(std::floor(std::max({t[0].x, t[1].x, t[2].x})))}
                         : extentInRow(t, row);
      if (span.first > span.last) continue;
      span = {std::max(span.first, 0), std::min(span.last, width - 1)};
      std::vector<Span>& spans = rows[static_cast<std::size_t>(row)];
      // Neighbouring faces mostly extend the last span: merged at once.
      if (!spans.empty() && span.first <= spans.back().last + 1 && span.last >= spans.back().first - 1) {
        spans.back() = {std::min(spans.back().first, span.first), std::max(spans.back().last, span.last)};
      } else {
        spans.push_back(span);
      }
    }
  }
  return imageOf(width, rows);
}

namespace {

// Side a-b's extent in x within the slab row <= y <= row + 1, as
// extentInRow finds that of the triangle whose side it is.
Span sideExtentInRow(Vec2 a, Vec2 b, std::int32_t row) {
  double x0 = INFINITY, x1 = -INFINITY;
  widenBySide(a, b, row, x0, x1);
  return cellsBetween(x0, x1);
}

// Where side a-b crosses the line y = line, as extentInRow finds it.
double crossingAt(Vec2 a, Vec2 b, double line) {
  if (a.y == line) return a.x;
  if (b.y == line) return b.x;
  return a.x + (b.x - a.x) * (line - a.y) / (b.y - a.y);
}

}  // namespace

CellImage outlineCellsOf(const std::vector<std::array<Vec2, 2>>& outline) {
  double maxX = 0, maxY = 0;
  for (const auto& side : outline) {
    for (const Vec2& p : side) maxX = std::max(maxX, p.x), maxY = std::max(maxY, p.y);
  }
  const auto width = static_cast<std::int32_t>(std::floor(maxX)) + 1;
  const auto height = static_cast<std::int32_t>(std::floor(maxY)) + 1;
  std::vector<std::vector<Span>> rows(static_cast<std::size_t>(height));
  // Per row, where the outline crosses its lower line: a side counts when
  // one end is below the line and the other on or above it, so that the
  // crossings pair up, the triangles between each pair.
  std::vector<std::vector<double>> crossings(static_cast<std::size_t>(height));
  const auto add = [&](std::int32_t row, Span span) {
    if (row < 0 || row >= height || span.first > span.last) return;
    span = {std::max(span.first, 0), std::min(span.last, width - 1)};
    rows[static_cast<std::size_t>(row)].push_back(span);
  };
  for (const auto& [a, b] : outline) {
    const double low = std::min(a.y, b.y), high = std::max(a.y, b.y);
    for (auto row = static_cast<std::int32_t>(std::floor(low)); row <= static_cast<std::int32_t>(std::floor(high)); ++row) {
      add(row, sideExtentInRow(a, b, row));
    }
    for (auto line = static_cast<std::int32_t>(std::ceil(low)); line <= static_cast<std::int32_t>(std::floor(high)); ++line) {
      if ((a.y < line) != (b.y < line) && line >= 0 && line < height) {
        crossings[static_cast<std::size_t>(line)].push_back(crossingAt(a, b, line));
      }
    }
  }
  for (std::size_t line = 0; line < crossings.size(); ++line) {
    std::vector<double>& xs = crossings[line];
    std::sort(xs.begin(), xs.end());
    for (std::size_t i = 0; i + 1 < xs.size(); i += 2) {
      const Span span = {static_cast<std::int32_t>(std::floor(xs[i])), static_cast<std::int32_t>(std::floor(xs[i + 1]))};
      add(static_cast<std::int32_t>(line), span);
    }
  }
  return imageOf(width, rows);
}

CellImage widened(const CellImage& image, std::int32_t padding) {
  std::vector<std::vector<Span>> rows(static_cast<std::size_t>(image.height + 2 * padding));
  for (std::int32_t row = 0; row < image.height; ++row) {
    for (const Span& span : image.row(row)) {
      for (std::int32_t r = row; r <= row + 2 * padding; ++r) {
        rows[static_cast<std::size_t>(r)].push_back({span.first, span.last + 2 * padding});
      }
    }
  }
  return imageOf(image.width + 2 * padding, rows);
}

CellImage turned(const CellImage& image) {
  // Turned, row x of the result holds the cells of column x, from the top row down.
  std::vector<std::vector<Span>> rows(static_cast<std::size_t>(image.width));
  for (std::int32_t y = 0; y < image.height; ++y) {
    const std::int32_t column = image.height - 1 - y;
    for (const Span& span : image.row(y)) {
      for (std::int32_t x = span.first; x <= span.last; ++x) {
        std::vector<Span>& row = rows[static_cast<std::size_t>(x)];
        if (!row.empty() && row.back().first == column + 1) {
          row.back().first = column;
        } else {
          row.push_back({column, column});
        }
      }
    }
  }
  return imageOf(image.height, rows);
}

Vec2 turnedPoint(Vec2 p, std::int32_t height) { return {height - p.y, p.x}; }

bool withinImage(const CellImage& inner, const CellImage& outer) {
  if (inner.height > outer.height) return false;
  for (std::int32_t row = 0; row < inner.height; ++row) {
    const std::span<const Span> allowed = outer.row(row);
    for (const Span& span : inner.row(row)) {
      const bool contained = std::any_of(allowed.begin(), allowed.end(), [&](const Span& a) {
        return a.first <= span.first && span.last <= a.last;
      });
      if (!contained) return false;
    }
  }
  return true;
}

namespace {

// The leftmost x at which the cells fit with their lowest row on row y, or
// -1. `blocking`: the widened row that blocked last, tried first.
std::int32_t leftmostOnRow(const Atlas& atlas, const CellImage& cells, const CellImage& wide, std::int32_t size,
                           std::int32_t padding, std::int32_t y, std::int32_t& blocking) {
  const std::int32_t lastX = size - padding - cells.width;
  // A row without a free run as long as a span: no place on this line.
  for (std::int32_t r = 0; r < wide.height; ++r) {
    for (const Span& span : wide.row(r)) {
      if (atlas.longestFree(y - padding + r) < span.last - span.first + 1) return -1;
    }
  }
  std::int32_t x = padding;
  while (x <= lastX) {
    bool clear = true;
    for (std::int32_t i = 0; i < wide.height && clear; ++i) {
      const std::int32_t r = (blocking + i) % wide.height;
      const std::int32_t row = y - padding + r;
      for (const Span& span : wide.row(r)) {
        // Widened spans start `padding` cells left of the cells.
        const std::int32_t offset = span.first - padding;
        const std::int32_t taken = atlas.lastTaken(row, x + offset, x + span.last - padding);
        if (taken >= 0) {
          // No place before this span's next room in this row will do.
          const std::int32_t room = atlas.firstFit(row, taken + 1, span.last - span.first + 1, lastX + offset);
          x = room < 0 ? lastX + 1 : room - offset;
          blocking = r;
          clear = false;
          break;
        }
      }
    }
    if (clear) return x;
  }
  return -1;
}

}  // namespace

namespace {

// The lowest row where any candidate fits, then the leftmost place on it.
bool placeLowest(const Atlas& atlas, std::span<PlaceCandidate> candidates, std::int32_t size, std::int32_t padding,
                 Placement& placement) {
  std::int32_t y = size;
  for (const PlaceCandidate& candidate : candidates) y = std::min(y, std::max(candidate.firstY, padding));
  std::vector<std::int32_t> blocking(candidates.size(), 0);
  for (bool any = true; any; ++y) {
    any = false;
    bool found = false;
    for (std::size_t k = 0; k < candidates.size(); ++k) {
      const PlaceCandidate& candidate = candidates[k];
      if (y > size - padding - candidate.cells->height) continue;
      any = true;
      if (y < candidate.firstY) continue;
      const std::int32_t x = leftmostOnRow(atlas, *candidate.cells, *candidate.wide, size, padding, y, blocking[k]);
      if (x >= 0 && (!found || x < placement.x)) {
        placement = {x, y, candidate.turns};
        found = true;
      }
    }
    if (found) {
      // None fits lower: each may start looking here next time.
      for (PlaceCandidate& candidate : candidates) candidate.firstY = std::max(candidate.firstY, y);
      return true;
    }
  }
  return false;
}

// Each candidate's lowest place; of those, the one whose top is lowest, then
// leftmost. A candidate stops looking once its top could not beat the best.
bool placeLowestTop(const Atlas& atlas, std::span<PlaceCandidate> candidates, std::int32_t size, std::int32_t padding,
                    Placement& placement) {
  const std::int64_t none = std::numeric_limits<std::int64_t>::max();
  std::int64_t best = none;  // top row, then x, in one number
  for (PlaceCandidate& candidate : candidates) {
    std::int32_t blocking = 0;
    for (std::int32_t y = std::max(candidate.firstY, padding); y <= size - padding - candidate.cells->height; ++y) {
      const std::int64_t top = std::int64_t{y} + candidate.cells->height;
      candidate.firstY = y;  // none fits lower
      if (top * std::int64_t{size + 1} >= best) break;
      const std::int32_t x = leftmostOnRow(atlas, *candidate.cells, *candidate.wide, size, padding, y, blocking);
      if (x < 0) continue;
      best = top * std::int64_t{size + 1} + x;
      placement = {x, y, candidate.turns};
      break;
    }
  }
  return best != none;
}

// How many cells of the ring at the chart's place are taken or outside the
// square: the ring is one cell wider than the widened image every way.
std::int32_t contactAt(const Atlas& atlas, const CellImage& ring, std::int32_t x, std::int32_t y,
                       std::int32_t padding) {
  std::int32_t count = 0;
  for (std::int32_t r = 0; r < ring.height; ++r) {
    for (const Span& span : ring.row(r)) {
      count += atlas.takenCount(y - padding - 1 + r, x - padding - 1 + span.first, x - padding - 1 + span.last);
    }
  }
  return count;
}

std::int64_t cellCount(const CellImage& image) {
  std::int64_t count = 0;
  for (const Span& span : image.spans) count += span.last - span.first + 1;
  return count;
}

bool placeMostContact(const Atlas& atlas, std::span<PlaceCandidate> candidates, std::int32_t size,
                      std::int32_t padding, Placement& placement) {
  if (!placeLowest(atlas, candidates, size, padding, placement)) return false;
  const std::int32_t lowest = placement.y;
  std::int64_t bestContact = -1, bestRing = 1, bestPlace = 0;
  for (PlaceCandidate& candidate : candidates) {
    const std::int64_t ring = cellCount(*candidate.ring);
    std::int32_t blocking = 0;
    const std::int32_t lastY = std::min(lowest + kContactRows, size - padding - candidate.cells->height);
    for (std::int32_t y = std::max(lowest, candidate.firstY); y <= lastY; ++y) {
      const std::int32_t x = leftmostOnRow(atlas, *candidate.cells, *candidate.wide, size, padding, y, blocking);
      if (x < 0) continue;
      const std::int64_t contact = contactAt(atlas, *candidate.ring, x, y, padding);
      const std::int64_t place = std::int64_t{y} * (size + 1) + x;
      // Shares compared as products: the same choice on every machine.
      const std::int64_t more = contact * bestRing - bestContact * ring;
      if (bestContact < 0 || more > 0 || (more == 0 && place < bestPlace)) {
        bestContact = contact, bestRing = ring, bestPlace = place;
        placement = {x, y, candidate.turns};
      }
    }
  }
  return true;
}

}  // namespace

bool place(const Atlas& atlas, std::span<PlaceCandidate> candidates, std::int32_t size, std::int32_t padding,
           PlaceRule rule, Placement& placement) {
  if (rule == PlaceRule::MostContact) return placeMostContact(atlas, candidates, size, padding, placement);
  return rule == PlaceRule::LowestTop ? placeLowestTop(atlas, candidates, size, padding, placement)
                                      : placeLowest(atlas, candidates, size, padding, placement);
}

std::int32_t StartRows::startFor(const CellImage& cells, const CellImage& wide, std::int32_t turns) const {
  const auto found = last_.find({cells.width, cells.height, turns});
  if (found == last_.end()) return 0;
  const bool small = cells.width <= alikeCells_ && cells.height <= alikeCells_;
  return small || withinImage(*found->second.wide, wide) ? found->second.row : 0;
}

void StartRows::placed(std::span<const PlaceCandidate> candidates) {
  for (const PlaceCandidate& candidate : candidates) {
    last_[{candidate.cells->width, candidate.cells->height, candidate.turns}] = {candidate.firstY, candidate.wide};
  }
}

void take(Atlas& atlas, const CellImage& cells, const Placement& placement) {
  for (std::int32_t row = 0; row < cells.height; ++row) {
    for (const Span& span : cells.row(row)) atlas.take(placement.y + row, placement.x + span.first, placement.x + span.last);
  }
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
