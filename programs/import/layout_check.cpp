#include "layout_check.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "sampling/rasteriser.h"

namespace lumivex {

namespace {

// ---- Exact orientation ----------------------------------------------------
// The sign of (a - p) x (b - p) for points whose coordinates are floats (held
// in doubles), decided exactly: a quick estimate in double with a bound on its
// error, and where the estimate is too close to zero, the same determinant as
// a sum of doubles without rounding error. Floats in doubles can neither
// overflow nor underflow in these products, so the sums are exact.

struct Point {
  double x, y;
};

// a + b as a rounded sum and its exact error.
inline void twoSum(double a, double b, double& sum, double& error) {
  sum = a + b;
  const double bVirtual = sum - a;
  const double aVirtual = sum - bVirtual;
  error = (a - aVirtual) + (b - bVirtual);
}

// Halves of a double's significand (Veltkamp's split): their products are exact.
inline void split(double a, double& high, double& low) {
  const double c = 134217729.0 * a;  // 2^27 + 1
  high = c - (c - a);
  low = a - high;
}

// a x b as a rounded product and its exact error (Dekker), without relying on
// a fused multiply-add the processor may lack.
inline void twoProduct(double a, double b, double& product, double& error) {
  product = a * b;
  double aHigh = 0, aLow = 0, bHigh = 0, bLow = 0;
  split(a, aHigh, aLow);
  split(b, bHigh, bLow);
  error = ((aHigh * bHigh - product) + aHigh * bLow + aLow * bHigh) + aLow * bLow;
}

// A sum of doubles kept without rounding: non-overlapping parts, smallest first.
class ExactSum {
 public:
  void add(double value) {
    double carry = value;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count_; ++i) {
      double sum = 0.0, error = 0.0;
      twoSum(carry, parts_[i], sum, error);
      if (error != 0.0) parts_[kept++] = error;
      carry = sum;
    }
    if (carry != 0.0) parts_[kept++] = carry;
    count_ = kept;
  }
  // The largest part carries the sign of the whole.
  int sign() const { return count_ == 0 ? 0 : parts_[count_ - 1] > 0.0 ? 1 : -1; }

 private:
  // 16 products of two parts each, and one carry, at most.
  std::array<double, 40> parts_{};
  std::size_t count_ = 0;
};

int exactOrientation(Point a, Point b, Point p) {
  // Each difference as two doubles, then the four products of the
  // determinant's two terms as two doubles each.
  double dx[2][2], dy[2][2];
  twoSum(a.x, -p.x, dx[0][0], dx[0][1]);
  twoSum(a.y, -p.y, dy[0][0], dy[0][1]);
  twoSum(b.x, -p.x, dx[1][0], dx[1][1]);
  twoSum(b.y, -p.y, dy[1][0], dy[1][1]);
  ExactSum sum;
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      double product = 0.0, error = 0.0;
      twoProduct(dx[0][i], dy[1][j], product, error);
      sum.add(product);
      sum.add(error);
      twoProduct(dy[0][i], dx[1][j], product, error);
      sum.add(-product);
      sum.add(-error);
    }
  }
  return sum.sign();
}

int orientation(Point a, Point b, Point p) {
  const double left = (a.x - p.x) * (b.y - p.y);
  const double right = (a.y - p.y) * (b.x - p.x);
  // A product of differences of floats is zero only when a difference is.
  if (left == 0.0 && right == 0.0) return 0;
  const double determinant = left - right;
  // A bound on the error of the estimate, after the classic adaptive test.
  constexpr double kEpsilon = 0x1p-53;
  constexpr double kBound = (3.0 + 16.0 * kEpsilon) * kEpsilon;
  const double bound = kBound * (std::fabs(left) + std::fabs(right));
  if (determinant > bound) return 1;
  if (-determinant > bound) return -1;
  return exactOrientation(a, b, p);
}

// ---- Triangles in texel space ---------------------------------------------

struct TexelTriangle {
  std::array<Point, 3> corners;
  int turn = 0;  // the orientation of the three corners: 1 or -1
  std::uint32_t mesh = 0;
};

// The texel-space corners at `size` exactly as the sampler forms them.
std::array<Point, 3> texelCorners(const std::array<const Vertex*, 3>& vertices, std::int32_t size) {
  const float s = static_cast<float>(size);
  std::array<Point, 3> corners{};
  for (std::size_t k = 0; k < 3; ++k) {
    corners[k] = {static_cast<double>(s * vertices[k]->lightmapU), static_cast<double>(s * vertices[k]->lightmapV)};
  }
  return corners;
}

// Every corner finite: the exact tests and the corner ranges below take
// finite values only (a NaN would reach a conversion to an integer).
bool allFinite(const std::array<Point, 3>& corners) {
  return std::all_of(corners.begin(), corners.end(),
                     [](const Point& p) { return std::isfinite(p.x) && std::isfinite(p.y); });
}

struct CornerRange {
  std::int32_t first, last;
};

// The integer coordinates from ceil(minimum) to floor(maximum), within 0..limit.
CornerRange cornerRange(double minimum, double maximum, std::int32_t limit) {
  const double first = std::max(std::ceil(minimum), 0.0);
  const double last = std::min(std::floor(maximum), static_cast<double>(limit));
  if (first > last) return {1, 0};
  return {static_cast<std::int32_t>(first), static_cast<std::int32_t>(last)};
}

// The columns of one row that a triangle holds: in the closed triangle, and
// strictly inside it. Empty when first > last.
struct RowSpans {
  CornerRange closed, strict;
  bool empty() const { return closed.first > closed.last; }
};

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
void clipByEdge(Point a, Point b, int turn, double y, RowSpans& spans) {
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

RowSpans rowSpans(const TexelTriangle& triangle, CornerRange cols, std::int32_t row) {
  RowSpans spans{cols, cols};
  const auto& [a, b, c] = triangle.corners;
  const auto y = static_cast<double>(row);
  clipByEdge(a, b, triangle.turn, y, spans);
  if (!spans.empty()) clipByEdge(b, c, triangle.turn, y, spans);
  if (!spans.empty()) clipByEdge(c, a, triangle.turn, y, spans);
  return spans;
}

struct CornerBox {
  CornerRange cols, rows;
};

CornerBox cornerBox(const TexelTriangle& triangle, std::int32_t size) {
  const auto& [a, b, c] = triangle.corners;
  return {cornerRange(std::min({a.x, b.x, c.x}), std::max({a.x, b.x, c.x}), size - 1),
          cornerRange(std::min({a.y, b.y, c.y}), std::max({a.y, b.y, c.y}), size - 1)};
}

// Calls visit(row, spans) for every row in [firstRow, lastRow] where the
// closed triangle holds a grid corner.
template <typename Visit>
void forEachRow(const TexelTriangle& triangle, std::int32_t size, std::int32_t firstRow, std::int32_t lastRow,
                Visit&& visit) {
  const CornerBox box = cornerBox(triangle, size);
  if (box.cols.first > box.cols.last) return;
  const std::int32_t last = std::min(box.rows.last, lastRow);
  for (std::int32_t row = std::max(box.rows.first, firstRow); row <= last; ++row) {
    const RowSpans spans = rowSpans(triangle, box.cols, row);
    if (!spans.empty()) visit(row, spans);
  }
}

double surfaceArea(const std::array<const Vertex*, 3>& v) {
  const double ax = double{v[1]->position.x} - v[0]->position.x, ay = double{v[1]->position.y} - v[0]->position.y,
               az = double{v[1]->position.z} - v[0]->position.z;
  const double bx = double{v[2]->position.x} - v[0]->position.x, by = double{v[2]->position.y} - v[0]->position.y,
               bz = double{v[2]->position.z} - v[0]->position.z;
  const double cx = ay * bz - az * by, cy = az * bx - ax * bz, cz = ax * by - ay * bx;
  const double area = 0.5 * std::sqrt(cx * cx + cy * cy + cz * cz);
  return std::isfinite(area) ? area : 0.0;
}

bool insideUnitSquare(const Vertex& v) {
  return v.lightmapU >= 0.0f && v.lightmapU <= 1.0f && v.lightmapV >= 0.0f && v.lightmapV <= 1.0f;
}

// Rows per band: the overlap counts for a band take 5 bytes a texel, and a
// band holds at most 16 M texels, whatever the size.
constexpr std::size_t kTexelsPerBand = std::size_t{1} << 24;

}  // namespace

// True when the closed triangle holds a grid corner at `size`.
bool coversTexelCorner(const std::array<const Vertex*, 3>& vertices, std::int32_t size) {
  TexelTriangle triangle;
  triangle.corners = texelCorners(vertices, size);
  if (!allFinite(triangle.corners)) return false;
  triangle.turn = orientation(triangle.corners[0], triangle.corners[1], triangle.corners[2]);
  if (triangle.turn == 0) return false;
  const CornerBox box = cornerBox(triangle, size);
  if (box.cols.first > box.cols.last || box.rows.first > box.rows.last) return false;
  // A few corners (the common case for small faces): each on its own.
  if (std::int64_t{box.cols.last - box.cols.first + 1} * (box.rows.last - box.rows.first + 1) <= 4) {
    const auto& [a, b, c] = triangle.corners;
    for (std::int32_t row = box.rows.first; row <= box.rows.last; ++row) {
      for (std::int32_t col = box.cols.first; col <= box.cols.last; ++col) {
        const Point p = {static_cast<double>(col), static_cast<double>(row)};
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

int lightmapTurn(const std::array<const Vertex*, 3>& vertices, std::int32_t size) {
  const std::array<Point, 3> corners = texelCorners(vertices, size);
  return allFinite(corners) ? orientation(corners[0], corners[1], corners[2]) : 0;
}

LayoutReport checkLayout(const std::vector<LayoutMesh>& meshes, std::int32_t size,
                         const std::function<void(double)>& progress) {
  LayoutReport report;
  report.size = size;
  if (size < 1 || size > kLargestSize) return report;

  // Each triangle once: outside, zero area, or laid into texel space.
  std::vector<TexelTriangle> triangles;
  std::vector<std::array<const Vertex*, 3>> sources;
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    const LayoutMesh& mesh = meshes[m];
    MeshLayout& layout = report.meshes.emplace_back();
    layout.name = mesh.name;
    const std::vector<Vertex>& vertices = *mesh.vertices;
    const std::vector<std::uint32_t>& indices = *mesh.triangles;
    for (std::size_t t = 0; t + 2 < indices.size(); t += 3) {
      const std::array<const Vertex*, 3> corners = {&vertices[indices[t]], &vertices[indices[t + 1]],
                                                    &vertices[indices[t + 2]]};
      ++layout.triangles;
      layout.surfaceArea += surfaceArea(corners);
      const bool outside = !(insideUnitSquare(*corners[0]) && insideUnitSquare(*corners[1]) &&
                             insideUnitSquare(*corners[2]));
      if (outside) ++layout.outside;
      TexelTriangle triangle;
      triangle.corners = texelCorners(corners, size);
      // The sampler's judgement decides what it skips; a triangle it keeps but
      // whose exact area is zero holds no corner strictly inside either.
      if (!isDegenerateInLightmap(*corners[0], *corners[1], *corners[2], size)) {
        triangle.turn = orientation(triangle.corners[0], triangle.corners[1], triangle.corners[2]);
      }
      if (triangle.turn == 0) {
        ++layout.zeroArea;
        continue;
      }
      triangle.mesh = static_cast<std::uint32_t>(m);
      triangles.push_back(triangle);
      sources.push_back(corners);
    }
  }

  // Texel corners, a band of rows at a time: how many triangles hold each one
  // strictly inside (0, 1, or 2 for more), and which triangles hold any.
  const auto width = static_cast<std::size_t>(size);
  const std::int32_t bandRows = static_cast<std::int32_t>(std::clamp<std::size_t>(kTexelsPerBand / width, 1, width));
  const std::size_t bands = (width + static_cast<std::size_t>(bandRows) - 1) / static_cast<std::size_t>(bandRows);
  std::vector<char> sampled(triangles.size(), 0);
  std::vector<std::uint8_t> inside;
  std::vector<std::uint32_t> countedFor;  // the last mesh counted for the texel, plus one
  const double work = static_cast<double>(bands) * static_cast<double>(triangles.size()) * 2.0;
  double done = 0.0;
  auto step = [&](std::size_t index) {
    if (progress && index % 65536 == 65535) progress(std::min(done / work, 1.0));
  };
  for (std::size_t band = 0; band < bands; ++band) {
    const std::int32_t firstRow = static_cast<std::int32_t>(band) * bandRows;
    const std::int32_t lastRow = std::min(firstRow + bandRows, size) - 1;
    const std::size_t rows = static_cast<std::size_t>(lastRow - firstRow + 1);
    inside.assign(rows * width, 0);
    countedFor.assign(rows * width, 0);
    auto rowOf = [&](std::int32_t row) { return static_cast<std::size_t>(row - firstRow) * width; };
    for (std::size_t t = 0; t < triangles.size(); ++t, done += 1.0) {
      forEachRow(triangles[t], size, firstRow, lastRow, [&](std::int32_t row, const RowSpans& spans) {
        sampled[t] = 1;
        std::uint8_t* counts = inside.data() + rowOf(row);
        for (std::int32_t col = spans.strict.first; col <= spans.strict.last; ++col) {
          counts[col] = static_cast<std::uint8_t>(counts[col] + (counts[col] < 2 ? 1 : 0));
        }
      });
      step(t);
    }
    const auto overlappedHere = static_cast<std::size_t>(std::count(inside.begin(), inside.end(), 2));
    report.overlappedTexels += overlappedHere;
    if (overlappedHere == 0) {
      done += static_cast<double>(triangles.size());
      continue;
    }
    // Each mesh counts a texel held by two or more triangles once, when one of
    // them is its own; the triangles come mesh by mesh.
    for (std::size_t t = 0; t < triangles.size(); ++t, done += 1.0) {
      const std::uint32_t stamp = triangles[t].mesh + 1;
      std::size_t& overlapped = report.meshes[triangles[t].mesh].overlapped;
      forEachRow(triangles[t], size, firstRow, lastRow, [&](std::int32_t row, const RowSpans& spans) {
        const std::uint8_t* counts = inside.data() + rowOf(row);
        std::uint32_t* counted = countedFor.data() + rowOf(row);
        for (std::int32_t col = spans.strict.first; col <= spans.strict.last; ++col) {
          if (counts[col] < 2 || counted[col] == stamp) continue;
          counted[col] = stamp;
          ++overlapped;
        }
      });
      step(t);
    }
  }

  // Triangles that hold no corner, and the smallest power-of-two size at which
  // every one of them would hold one. Sizes only add corners as they double,
  // so one pass that raises the size as needed finds it.
  std::int32_t needed = 1;
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    if (sampled[t] != 0) continue;
    MeshLayout& layout = report.meshes[triangles[t].mesh];
    ++layout.unsampled;
    layout.unsampledArea += surfaceArea(sources[t]);
    if (needed == kNoSizeSamplesAll) continue;
    while (needed <= kLargestSize && !coversTexelCorner(sources[t], needed)) needed *= 2;
    if (needed > kLargestSize) needed = kNoSizeSamplesAll;
  }

  for (const MeshLayout& mesh : report.meshes) {
    report.triangles += mesh.triangles;
    report.outside += mesh.outside;
    report.zeroArea += mesh.zeroArea;
    report.unsampled += mesh.unsampled;
    report.surfaceArea += mesh.surfaceArea;
    report.unsampledArea += mesh.unsampledArea;
  }
  report.sizeSamplingAll = report.unsampled == 0 ? size : needed;
  if (progress) progress(1.0);
  return report;
}

namespace {

// A JSON string: quotes, backslashes and control characters escaped, and
// bytes that are not UTF-8 replaced (mesh names come from any file).
void appendJsonString(std::string& out, const std::string& text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
      ++i;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
      ++i;
    } else if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++i;
    } else {
      // The length of a well-formed sequence starting here, or 0.
      std::size_t length = byte >= 0xC2 && byte <= 0xDF ? 2 : byte >= 0xE0 && byte <= 0xEF ? 3
                           : byte >= 0xF0 && byte <= 0xF4                                  ? 4
                                                                                          : 0;
      if (length > text.size() - i) length = 0;
      for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) length = 0;
      }
      if (length >= 3) {
        const auto second = static_cast<unsigned char>(text[i + 1]);
        if ((byte == 0xE0 && second < 0xA0) || (byte == 0xED && second > 0x9F) || (byte == 0xF0 && second < 0x90) ||
            (byte == 0xF4 && second > 0x8F)) {
          length = 0;  // overlong, a surrogate, or past U+10FFFF
        }
      }
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
    }
  }
  out += '"';
}

// The share of the surface, to four decimals.
void appendShare(std::string& out, const char* key, double part, double whole) {
  char text[64];
  std::snprintf(text, sizeof text, "\"%s\": %.4f, ", key, whole > 0 ? part / whole : 0.0);
  out += text;
}

void appendCount(std::string& out, const char* key, std::size_t value, bool comma = true) {
  out += '"';
  out += key;
  out += "\": ";
  out += std::to_string(value);
  if (comma) out += ", ";
}

}  // namespace

std::string layoutReportJson(const LayoutReport& report, const std::string& model) {
  std::string out = "{\n  \"model\": ";
  appendJsonString(out, model);
  out += ",\n  \"size\": " + std::to_string(report.size) + ",\n  ";
  appendCount(out, "triangles", report.triangles);
  appendCount(out, "outside", report.outside);
  appendCount(out, "zeroArea", report.zeroArea);
  appendCount(out, "unsampled", report.unsampled);
  appendShare(out, "unsampledAreaShare", report.unsampledArea, report.surfaceArea);
  appendCount(out, "overlappedTexels", report.overlappedTexels, false);
  out += ",\n  \"sizeSamplingAll\": ";
  out += report.sizeSamplingAll == kNoSizeSamplesAll ? "null" : std::to_string(report.sizeSamplingAll);
  out += ",\n  \"meshes\": [";
  for (std::size_t m = 0; m < report.meshes.size(); ++m) {
    const MeshLayout& mesh = report.meshes[m];
    out += m == 0 ? "\n    {\"name\": " : ",\n    {\"name\": ";
    appendJsonString(out, mesh.name);
    out += ", ";
    appendCount(out, "triangles", mesh.triangles);
    appendCount(out, "outside", mesh.outside);
    appendCount(out, "zeroArea", mesh.zeroArea);
    appendCount(out, "unsampled", mesh.unsampled);
    appendShare(out, "unsampledAreaShare", mesh.unsampledArea, mesh.surfaceArea);
    appendCount(out, "overlappedTexels", mesh.overlapped, false);
    out += '}';
  }
  out += report.meshes.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace lumivex
