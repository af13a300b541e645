#pragma once
// The shapes of the charts laid flat: each turned to its smallest bounding
// rectangle (or a square, for a chart alone in the lightmap), and charts far
// longer than wide cut across their length.

#include <cstdint>
#include <vector>

#include "uv/charts.h"

namespace lumivex::uv {

struct ChartShape {
  double width = 0, height = 0;  // model units, after turning
  double cosine = 1, sine = 0;   // the turn
  double minX = 0, minY = 0;     // the corner of the rectangle, after turning
  bool swapped = false;          // turned a further quarter so that width >= height
  bool climbs = false;           // turned a little further so that its length climbs across the rows
};

// The convex hull of the points, counter-clockwise, and twice the area of
// such a polygon.
std::vector<Vec2> convexHull(std::vector<Vec2> points);
double doubledArea(const std::vector<Vec2>& polygon);

// A face this many texels long or longer, under a texel across, counts as
// long and thin: only such a face can miss every texel corner along a row,
// and turned by at most 1 / 8 of a radian (7 degrees) it climbs a texel
// along its length.
inline constexpr double kLongThinTexels = 8.0;

// The longest side of face t when it is long and thin at `density` (texels
// per unit of its coordinates), otherwise infinity.
double longThinLength(const Triangle2& t, double density);

// Chart c's hull, as findHulls keeps it or found now.
std::vector<Vec2> hullOf(const Charts& charts, std::size_t chart);

// Finds each chart's convex hull where charts.hulls does not hold it yet,
// for the functions below to share. `threads` share the work.
void findHulls(Charts& charts, std::size_t threads);

// `squareOnly`: the turn whose rectangle has the shortest longer side, for a
// chart that fills the square alone; otherwise the rectangle of least area.
// With `tiltDensity` (texels per model unit, an estimate), a chart many
// texels long with faces under a texel across is turned a little further, so
// that its length climbs two texels across the grid. With `thinFacesClimb`,
// a chart of any length with such faces is turned at least so far that each
// climbs a texel along its own length.
ChartShape shapeOf(const Charts& charts, std::size_t chart, bool squareOnly = false, double tiltDensity = 0,
                   bool thinFacesClimb = false);

// Whether a chart whose smallest rectangle (turned or not to lie wide) is
// `smallest` would be turned to climb at `density`: false means shapeOf
// gives no climbing shape there, without its hull.
bool mayClimb(const Charts& charts, std::size_t chart, const ChartShape& smallest, bool squareOnly, double density);

// A chart point in its rectangle: x in [0, width], y in [0, height].
Vec2 inRectangle(const ChartShape& shape, Vec2 p);

// Cuts charts far longer than wide across their length into pieces about as
// long as the pieces stacked are wide (not those narrower than a few times
// the padding at the expected density). With `onlyWhereShorter`, a chart
// whose pieces would still reach over half its length stays whole.
Charts splitLongCharts(Charts charts, double expectedDensity, std::int32_t padding, bool onlyWhereShorter);

// The charts with those whose faces fill under `hollowFill` of their convex
// hull (rings, arcs, bent legs) cut in two, again and again, while they are
// large at the expected density; no charts at all (faceStart empty) when
// none is.
Charts splitHollowCharts(const Charts& charts, double expectedDensity, std::int32_t padding, double hollowFill);

// The pieces of `cut` (hollow charts of `grown` cut) with pieces side by side
// of one chart joined again where together they fill `hollowFill` of their
// hull; no charts at all (faceStart empty) where none are.
Charts rejoinFilledNeighbours(const Charts& grown, const Charts& cut, double hollowFill);

}  // namespace lumivex::uv
