#include "uv/small_charts.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <span>
#include <unordered_map>

#include "uv/chart_shapes.h"

namespace lumivex::uv {

namespace {

// A chart under a texel across holds a texel corner or two at most: joined
// to a neighbour it keeps them and gives up its padding (at 2 texels, 25
// cells for one), though its light then blends with the neighbour's along
// the edge they share.
constexpr double kSmallChartTexels = 1.0;
// Faces of a chart joined may touch the neighbour's along the edge turned
// about and at shared corners; overlaps smaller than this share of the edge
// are rounding, not a fold (the same allowance growing gives a face).
constexpr double kOverlapTolerance = 1e-9;

std::size_t meshOf(std::span<const std::size_t> firstFace, std::uint32_t f) {
  return static_cast<std::size_t>(std::upper_bound(firstFace.begin(), firstFace.end(), std::size_t{f}) -
                                  firstFace.begin()) - 1;
}

// A chart turned onto one of kGridFaces faces or more is tested against the
// faces in a grid of at most kGridCells cells a side over it; below, every
// face is as quick.
constexpr std::size_t kGridFaces = 256;
constexpr double kGridCells = 64;

bool sameBits(Vec2 a, Vec2 b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Turns points about an edge: from one chart's corners p0 -> p1 onto
// another's q0 -> q1, those two landing exactly where the other has them.
struct Hinge {
  Vec2 p0, p1, q0, q1;
  double cosine = 1, sine = 0;

  bool aim() {
    const double ax = p1.x - p0.x, ay = p1.y - p0.y, bx = q1.x - q0.x, by = q1.y - q0.y;
    const double lengths = std::hypot(ax, ay) * std::hypot(bx, by);
    if (!(lengths > 0)) return false;
    cosine = (ax * bx + ay * by) / lengths;
    sine = (ax * by - ay * bx) / lengths;
    return true;
  }
  Vec2 operator()(Vec2 v) const {
    if (sameBits(v, p0)) return q0;
    if (sameBits(v, p1)) return q1;
    const double x = v.x - p0.x, y = v.y - p0.y;
    return {q0.x + cosine * x - sine * y, q0.y + sine * x + cosine * y};
  }
};

struct Box {
  double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  void add(Vec2 p) { x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y); }
  bool meets(const Box& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
};

Box boxOf(std::span<const Vec2> points) {
  Box box;
  for (const Vec2& p : points) box.add(p);
  return box;
}

class SmallChartJoiner {
 public:
  SmallChartJoiner(const Faces& faces, std::span<const std::size_t> firstFace, const Charts& charts, double density,
                   std::int32_t padding)
      : faces_(faces), firstFace_(firstFace), density_(density), padding_(padding), groupOf_(charts.chartOf),
        flat_(charts.flat) {
    const std::size_t count = charts.faceStart.size() - 1;
    members_.resize(count);
    hulls_.resize(count);
    for (std::size_t c = 0; c < count; ++c) {
      members_[c].assign(charts.faces.begin() + charts.faceStart[c], charts.faces.begin() + charts.faceStart[c + 1]);
      hulls_[c] = hullOf(charts, c);
    }
  }

  // The charts under a texel across, smallest first.
  std::vector<std::uint32_t> smallCharts() const {
    std::vector<std::pair<double, std::uint32_t>> small;
    for (std::uint32_t c = 0; c < members_.size(); ++c) {
      const Box box = boxOf(hulls_[c]);
      if (std::max(box.x1 - box.x0, box.y1 - box.y0) * density_ < kSmallChartTexels) {
        small.emplace_back(doubledArea(hulls_[c]), c);
      }
    }
    std::sort(small.begin(), small.end());
    std::vector<std::uint32_t> order;
    for (const auto& [area, c] : small) order.push_back(c);
    return order;
  }

  // Joins chart c to the neighbour whose hull it grows least, where that is
  // less than the room it takes alone. True when joined.
  bool join(std::uint32_t c) {
    // Alone, its rectangle takes the padding on each side and a texel for
    // rounding (as the packing's estimate has it); joined, the neighbour's
    // hull grows, and its rectangle with it.
    const Box own = boxOf(hulls_[c]);
    const double spare = (2.0 * padding_ + 1) / density_;
    double best = (own.x1 - own.x0 + spare) * (own.y1 - own.y0 + spare);
    std::uint32_t bestGroup = 0;
    std::vector<Vec2> bestHull;
    std::vector<Triangle2> moved, bestMoved;
    forEachHinge(c, [&](std::uint32_t host, const Hinge& hinge) {
      if (!turnedClear(c, host, hinge, moved)) return;
      std::vector<Vec2> points = hulls_[host];
      for (const Triangle2& t : moved) points.insert(points.end(), t.begin(), t.end());
      std::vector<Vec2> hull = convexHull(std::move(points));
      const double growth = 0.5 * (doubledArea(hull) - doubledArea(hulls_[host]));
      if (growth < best) best = growth, bestGroup = host, bestHull = std::move(hull), bestMoved = moved;
    });
    if (bestMoved.empty()) return false;
    for (std::size_t i = 0; i < members_[c].size(); ++i) {
      flat_[members_[c][i]] = bestMoved[i];
      groupOf_[members_[c][i]] = static_cast<std::int32_t>(bestGroup);
    }
    if (const auto grid = grids_.find(bestGroup); grid != grids_.end()) {
      for (const std::uint32_t f : members_[c]) grid->second.add(f, flat_[f]);
    }
    grids_.erase(c);
    members_[bestGroup].insert(members_[bestGroup].end(), members_[c].begin(), members_[c].end());
    members_[c].clear();
    hulls_[bestGroup] = std::move(bestHull);
    return true;
  }

  Charts charts() && {
    Charts out;
    out.chartOf = std::move(groupOf_);
    out.flat = std::move(flat_);
    out.faceStart.push_back(0);
    for (std::size_t c = 0; c < members_.size(); ++c) {
      if (members_[c].empty()) continue;
      for (const std::uint32_t f : members_[c]) out.chartOf[f] = static_cast<std::int32_t>(out.hulls.size());
      out.faces.insert(out.faces.end(), members_[c].begin(), members_[c].end());
      out.faceStart.push_back(static_cast<std::uint32_t>(out.faces.size()));
      out.hulls.push_back(std::move(hulls_[c]));
    }
    return out;
  }

 private:
  // Each edge chart c shares with another chart, as a hinge onto it: the
  // edge runs one way in c's face and the other way in the neighbour's, as
  // faces that turn alike do.
  template <typename Visit>
  void forEachHinge(std::uint32_t c, Visit&& visit) const {
    for (const std::uint32_t f : members_[c]) {
      for (std::uint32_t n = faces_.neighbourStart[f]; n < faces_.neighbourStart[f + 1]; ++n) {
        const std::uint32_t g = faces_.neighbours[n];
        const std::int32_t host = groupOf_[g];
        if (host < 0 || static_cast<std::uint32_t>(host) == c) continue;
        if (meshOf(firstFace_, g) != meshOf(firstFace_, f)) continue;
        for (std::uint32_t k = 0; k < 3; ++k) {
          for (std::uint32_t j = 0; j < 3; ++j) {
            if (faces_.corners[f][k] != faces_.corners[g][(j + 1) % 3] ||
                faces_.corners[f][(k + 1) % 3] != faces_.corners[g][j]) {
              continue;
            }
            Hinge hinge{flat_[f][k], flat_[f][(k + 1) % 3], flat_[g][(j + 1) % 3], flat_[g][j]};
            if (hinge.aim()) visit(static_cast<std::uint32_t>(host), hinge);
          }
        }
      }
    }
  }

  // Chart c's faces turned onto the host's plane; false when one of them
  // turns the other way there or overlaps a face of the host.
  bool turnedClear(std::uint32_t c, std::uint32_t host, const Hinge& hinge, std::vector<Triangle2>& moved) {
    moved.clear();
    Box reach;
    for (const std::uint32_t f : members_[c]) {
      Triangle2& t = moved.emplace_back();
      for (std::size_t k = 0; k < 3; ++k) reach.add(t[k] = hinge(flat_[f][k]));
      if (!(cross2(t[0], t[1], t[2]) > 0)) return false;
    }
    const double tolerance = kOverlapTolerance * std::hypot(hinge.q1.x - hinge.q0.x, hinge.q1.y - hinge.q0.y);
    const auto clear = [&](std::uint32_t g) {
      if (!boxOf(flat_[g]).meets(reach)) return true;
      for (const Triangle2& t : moved) {
        if (interiorsOverlap(flat_[g], t, tolerance)) return false;
      }
      return true;
    };
    if (members_[host].size() < kGridFaces) return std::all_of(members_[host].begin(), members_[host].end(), clear);
    const FaceGrid& grid = gridOf(host);
    const auto [x0, y0, x1, y1] = grid.cellsMeeting(reach);
    for (std::int32_t y = y0; y <= y1; ++y) {
      for (std::int32_t x = x0; x <= x1; ++x) {
        const std::vector<std::uint32_t>& near = grid.cells[static_cast<std::size_t>(y * grid.columns + x)];
        if (!std::all_of(near.begin(), near.end(), clear)) return false;
      }
    }
    return true;
  }

  // A chart's faces by the cells of a grid over its box (a face in each cell
  // its box meets; beyond the box, in the cells at its edge), so that a
  // small chart turned onto a chart of many faces is tested against those
  // near it only: on the 1 M sphere, charts of 40,000 faces.
  struct FaceGrid {
    Box box;
    double cell = 1;
    std::int32_t columns = 1, rows = 1;
    std::vector<std::vector<std::uint32_t>> cells;

    std::array<std::int32_t, 4> cellsMeeting(const Box& b) const {
      const auto at = [&](double v, double from, std::int32_t count) {
        return static_cast<std::int32_t>(std::clamp(std::floor((v - from) / cell), 0.0, count - 1.0));
      };
      return {at(b.x0, box.x0, columns), at(b.y0, box.y0, rows), at(b.x1, box.x0, columns), at(b.y1, box.y0, rows)};
    }
    void add(std::uint32_t f, const Triangle2& t) {
      const auto [x0, y0, x1, y1] = cellsMeeting(boxOf(t));
      for (std::int32_t y = y0; y <= y1; ++y) {
        for (std::int32_t x = x0; x <= x1; ++x) cells[static_cast<std::size_t>(y * columns + x)].push_back(f);
      }
    }
  };

  const FaceGrid& gridOf(std::uint32_t c) {
    const auto [found, made] = grids_.try_emplace(c);
    FaceGrid& grid = found->second;
    if (!made) return grid;
    grid.box = boxOf(hulls_[c]);
    const double width = grid.box.x1 - grid.box.x0, height = grid.box.y1 - grid.box.y0;
    grid.cell = std::max(width, height) / kGridCells;
    if (!(grid.cell > 0)) grid.cell = 1;
    grid.columns = static_cast<std::int32_t>(std::min(width / grid.cell, kGridCells)) + 1;
    grid.rows = static_cast<std::int32_t>(std::min(height / grid.cell, kGridCells)) + 1;
    grid.cells.resize(static_cast<std::size_t>(grid.columns) * static_cast<std::size_t>(grid.rows));
    for (const std::uint32_t f : members_[c]) grid.add(f, flat_[f]);
    return grid;
  }

  const Faces& faces_;
  std::span<const std::size_t> firstFace_;
  double density_;
  std::int32_t padding_;
  std::vector<std::int32_t> groupOf_;               // per face: the chart it lies in now
  std::vector<Triangle2> flat_;                     // per face: laid flat in that chart
  std::vector<std::vector<std::uint32_t>> members_; // per chart: its faces; empty once joined to another
  std::vector<std::vector<Vec2>> hulls_;            // per chart: its hull
  std::unordered_map<std::uint32_t, FaceGrid> grids_;  // per chart of kGridFaces or more, once needed
};

}  // namespace

Charts joinSmallCharts(const Faces& faces, std::span<const std::size_t> firstFace, const Charts& charts,
                       double expectedDensity, std::int32_t padding, JoinedCharts& joined) {
  joined = {};
  if (!(expectedDensity > 0)) return {};
  SmallChartJoiner joiner(faces, firstFace, charts, expectedDensity, padding);
  bool any = false;
  for (const std::uint32_t c : joiner.smallCharts()) any = joiner.join(c) || any;
  if (!any) return {};
  Charts out = std::move(joiner).charts();
  // The charts grown that were joined to another: a chart keeps its own
  // faces first, so theirs no longer lead the chart they lie in.
  std::vector<std::uint32_t> firstOf(out.faceStart.size() - 1);
  for (std::size_t c = 0; c < firstOf.size(); ++c) firstOf[c] = out.faces[out.faceStart[c]];
  for (std::size_t c = 0; c + 1 < charts.faceStart.size(); ++c) {
    const std::uint32_t first = charts.faces[charts.faceStart[c]];
    if (firstOf[static_cast<std::size_t>(out.chartOf[first])] == first) continue;
    for (std::uint32_t i = charts.faceStart[c]; i < charts.faceStart[c + 1]; ++i) {
      joined.faces.push_back(charts.faces[i]);
      joined.flat.push_back(charts.flat[charts.faces[i]]);
    }
    joined.faceStart.push_back(static_cast<std::uint32_t>(joined.faces.size()));
  }
  return out;
}

Charts takeApart(const Charts& charts, JoinedCharts& joined, std::span<const std::size_t> firstFace,
                 std::span<const char> apart) {
  std::vector<char> out(charts.chartOf.size(), 0);
  JoinedCharts staying, leaving;
  for (std::size_t s = 0; s + 1 < joined.faceStart.size(); ++s) {
    const bool leaves = apart[meshOf(firstFace, joined.faces[joined.faceStart[s]])] != 0;
    JoinedCharts& to = leaves ? leaving : staying;
    for (std::uint32_t i = joined.faceStart[s]; i < joined.faceStart[s + 1]; ++i) {
      to.faces.push_back(joined.faces[i]);
      to.flat.push_back(joined.flat[i]);
      if (leaves) out[joined.faces[i]] = 1;
    }
    to.faceStart.push_back(static_cast<std::uint32_t>(to.faces.size()));
  }
  if (leaving.faces.empty()) return {};
  joined = std::move(staying);
  Charts apartCharts;
  apartCharts.chartOf = charts.chartOf;
  apartCharts.flat = charts.flat;
  apartCharts.faceStart.push_back(0);
  const auto close = [&](std::vector<Vec2> hull) {
    const auto chart = static_cast<std::int32_t>(apartCharts.faceStart.size() - 1);
    for (std::uint32_t i = apartCharts.faceStart.back(); i < apartCharts.faces.size(); ++i) {
      apartCharts.chartOf[apartCharts.faces[i]] = chart;
    }
    apartCharts.faceStart.push_back(static_cast<std::uint32_t>(apartCharts.faces.size()));
    apartCharts.hulls.push_back(std::move(hull));
  };
  for (std::size_t c = 0; c + 1 < charts.faceStart.size(); ++c) {
    bool lost = false;
    for (std::uint32_t i = charts.faceStart[c]; i < charts.faceStart[c + 1]; ++i) {
      if (out[charts.faces[i]] != 0) {
        lost = true;
      } else {
        apartCharts.faces.push_back(charts.faces[i]);
      }
    }
    if (apartCharts.faces.size() == apartCharts.faceStart.back()) continue;
    close(lost || c >= charts.hulls.size() ? std::vector<Vec2>{} : charts.hulls[c]);
  }
  for (std::size_t s = 0; s + 1 < leaving.faceStart.size(); ++s) {
    for (std::uint32_t i = leaving.faceStart[s]; i < leaving.faceStart[s + 1]; ++i) {
      apartCharts.faces.push_back(leaving.faces[i]);
      apartCharts.flat[leaving.faces[i]] = leaving.flat[i];
    }
    close({});
  }
  return apartCharts;
}

}  // namespace lumivex::uv
