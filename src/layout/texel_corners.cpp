#include "layout/texel_corners.h"

#include <cmath>

namespace lumivex {

namespace {

// The integer coordinates from ceil(minimum) to floor(maximum), within 0..limit.
CornerRange cornerRange(double minimum, double maximum, std::int32_t limit) {
  const double first = std::max(std::ceil(minimum), 0.0);
  const double last = std::min(std::floor(maximum), static_cast<double>(limit));
  if (first > last) return {1, 0};
  return {static_cast<std::int32_t>(first), static_cast<std::int32_t>(last)};
}

// The first column of `range` where `holds` (false, then true along the row)
// is true, or range.last + 1. The estimate is tried first with its left
// neighbour, which settles nearly every row; a poor estimate (coordinates far
// beyond the grid) costs a binary search, never a walk along the row.
template <typename Holds>
std::int32_t firstColumnWhere(CornerRange range, std::int32_t estimate, Holds&& holds) {
  std::int32_t low = range.first, high = range.last + 1;  // the answer lies in [low, high]
  estimate = std::clamp(estimate, low, high);
  if (estimate < high) {
    if (holds(estimate)) {
      high = estimate;
    } else {
      low = estimate + 1;
    }
  }
  if (high == estimate && estimate > low) {
    if (holds(estimate - 1)) {
      high = estimate - 1;
    } else {
      low = estimate;
    }
  } else if (low == estimate + 1 && low < high) {
    if (holds(low)) {
      high = low;
    } else {
      ++low;
    }
  }
  while (low < high) {
    const std::int32_t middle = low + (high - low) / 2;
    if (holds(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}

// Narrows the spans of row y to the side of the edge a -> b that holds the
// triangle. The side test is linear in x along a row, so the boundary is
// found from the edge's crossing, estimated in double, and then settled by
// the exact test on the columns next to it.
void clipByEdge(Point2 a, Point2 b, int turn, double y, RowSpans& spans) {
  CornerRange& closed = spans.closed;
  auto side = [&](std::int32_t col) { return turn * orientation(a, b, {static_cast<double>(col), y}); };
  // The sign of a difference of doubles is exact, even where its value is not.
  const double rise = a.y - b.y;
  if (rise == 0.0) {
    const int where = side(closed.first);
    if (where < 0) closed = spans.strict = {1, 0};
    if (where == 0) spans.strict = {1, 0};
    return;
  }
  const double crossing = ((a.y - y) * b.x - a.x * (b.y - y)) / rise;
  const double estimate = std::isfinite(crossing) ? std::floor(crossing) : static_cast<double>(closed.first);
  const auto hint = static_cast<std::int32_t>(
      std::clamp(estimate, static_cast<double>(closed.first) - 1.0, static_cast<double>(closed.last) + 1.0));
  if (turn * rise > 0.0) {
    // The side grows with x: the first column on it.
    const std::int32_t col = firstColumnWhere(closed, hint + 1, [&](std::int32_t c) { return side(c) >= 0; });
    closed.first = col;
    spans.strict.first = std::max(spans.strict.first, col <= closed.last && side(col) == 0 ? col + 1 : col);
  } else {
    // The side shrinks with x: the last column on it.
    const std::int32_t col = firstColumnWhere(closed, hint + 1, [&](std::int32_t c) { return side(c) < 0; }) - 1;
    closed.last = col;
    spans.strict.last = std::min(spans.strict.last, col >= closed.first && side(col) == 0 ? col - 1 : col);
  }
}

}  // namespace

std::array<Point2, 3> texelCorners(const std::array<LightmapPoint, 3>& uvs, std::int32_t size) {
  const float s = static_cast<float>(size);
  std::array<Point2, 3> corners{};
  for (std::size_t k = 0; k < 3; ++k) {
    corners[k] = {static_cast<double>(s * uvs[k].u), static_cast<double>(s * uvs[k].v)};
  }
  return corners;
}

bool allFinite(const std::array<Point2, 3>& corners) {
  return std::all_of(corners.begin(), corners.end(),
                     [](const Point2& p) { return std::isfinite(p.x) && std::isfinite(p.y); });
}

int exactTurn(const std::array<Point2, 3>& corners) {
  return allFinite(corners) ? orientation(corners[0], corners[1], corners[2]) : 0;
}

CornerBox cornerBox(const ExactTriangle& triangle, std::int32_t size) {
  const auto& [a, b, c] = triangle.corners;
  return {cornerRange(std::min({a.x, b.x, c.x}), std::max({a.x, b.x, c.x}), size - 1),
          cornerRange(std::min({a.y, b.y, c.y}), std::max({a.y, b.y, c.y}), size - 1)};
}

RowSpans rowSpans(const ExactTriangle& triangle, CornerRange cols, std::int32_t row) {
  RowSpans spans{cols, cols};
  const auto& [a, b, c] = triangle.corners;
  const auto y = static_cast<double>(row);
  clipByEdge(a, b, triangle.turn, y, spans);
  if (!spans.empty()) clipByEdge(b, c, triangle.turn, y, spans);
  if (!spans.empty()) clipByEdge(c, a, triangle.turn, y, spans);
  return spans;
}

bool coversTexelCorner(const std::array<LightmapPoint, 3>& uvs, std::int32_t size) {
  ExactTriangle triangle;
  triangle.corners = texelCorners(uvs, size);
  triangle.turn = exactTurn(triangle.corners);
  if (triangle.turn == 0) return false;
  const CornerBox box = cornerBox(triangle, size);
  if (box.cols.first > box.cols.last || box.rows.first > box.rows.last) return false;
  // A few corners (the common case for small faces): each on its own.
  if (std::int64_t{box.cols.last - box.cols.first + 1} * (box.rows.last - box.rows.first + 1) <= 4) {
    const auto& [a, b, c] = triangle.corners;
    for (std::int32_t row = box.rows.first; row <= box.rows.last; ++row) {
      for (std::int32_t col = box.cols.first; col <= box.cols.last; ++col) {
        const Point2 p = {static_cast<double>(col), static_cast<double>(row)};
        if (orientation(a, b, p) * triangle.turn >= 0 && orientation(b, c, p) * triangle.turn >= 0 &&
            orientation(c, a, p) * triangle.turn >= 0) {
          return true;
        }
      }
    }
    return false;
  }
  for (std::int32_t row = box.rows.first; row <= box.rows.last; ++row) {
    if (!rowSpans(triangle, box.cols, row).empty()) return true;
  }
  return false;
}

}  // namespace lumivex
