// SVG pieces shared by the report's charts: each series' colour and shape, the verdicts'
// colours, marks, linear axes with ticks and titles, and how wide a label is.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench32::chart {

// Colours from the Okabe–Ito set, which readers with the common colour-vision
// deficiencies tell apart. Verdicts own vermillion and blue; series take the others, each
// with a shape of its own, so that neither colour nor shape carries a meaning alone.
inline constexpr const char* slowerColour = "#D55E00";
inline constexpr const char* fasterColour = "#0072B2";
inline constexpr const char* sameColour = "#6b6b6b";
inline constexpr const char* inkColour = "#222222";

enum class Shape { circle, square, diamond, plus, triangleUp, triangleDown };

struct Look {
  const char* colour;
  Shape shape;
};
Look seriesLook(std::size_t index);
const std::vector<const char*>& seriesColours();

// A mark of radius r centred on (x, y); fill "none" draws it hollow.
std::string mark(Shape shape, double x, double y, double r, const std::string& fill,
                 const std::string& stroke = "#ffffff", double strokeWidth = 1);
// The series' mark as a small inline SVG, for legends and tables.
std::string swatch(std::size_t index);

// About how wide a label is in the pages' sans-serif at a size in pixels: charts size
// their margins by it so that nothing is cut off.
double textWidth(const std::string& text, double px = 12);

// Round tick values (1, 2 or 5 times a power of ten apart) covering [low, high], about
// `count` of them, and the step between them.
struct Ticks {
  std::vector<double> values;
  double step = 1;
};
Ticks niceTicks(double low, double high, int count = 5);
// How tick values are written: multiplied by scale (seconds to milliseconds), with as
// many decimals as the step needs, a sign when asked (changes: "+5%") and a suffix.
struct Labels {
  double scale = 1;
  std::string suffix;
  bool sign = false;
};
std::string tickText(double value, double step, const Labels& labels = {});

// Seconds shown in the unit that suits the largest value: "ms" and a factor of 1000.
struct TimeUnit {
  double scale;
  const char* name;
};
TimeUnit timeUnit(double largest);

// A linear value axis along the bottom of a plot: the axis line, ticks with labels under
// it and the title under them. Values map to [x0, x1].
struct Scale {
  double low, high, from, to;
  double at(double v) const { return from + (to - from) * (v - low) / (high - low); }
};
std::string bottomAxis(const Scale& x, double y, const Ticks& ticks, const std::string& title,
                       const Labels& labels = {});
// The same up the left side: labels right-aligned left of it, the title turned upright.
std::string leftAxis(const Scale& y, double x, const Ticks& ticks, const std::string& title,
                     double titleX, const Labels& labels = {});
// Space a bottom axis takes under its line: tick labels and title.
inline constexpr double bottomAxisHeight = 38;

} // namespace bench32::chart
