#include "output/chart.hpp"

#include <cmath>

#include <fmt/format.h>

#include "output/export/html.hpp"

namespace bench32::chart {

const std::vector<const char*>& seriesColours() {
  static const std::vector<const char*> colours{"#E69F00", "#009E73", "#CC79A7",
                                                "#56B4E9", "#000000", "#F0E442"};
  return colours;
}

Look seriesLook(std::size_t index) {
  static const Shape shapes[] = {Shape::circle, Shape::square, Shape::diamond, Shape::plus};
  return {seriesColours()[index % seriesColours().size()], shapes[index % std::size(shapes)]};
}

std::string mark(Shape shape, double x, double y, double r, const std::string& fill,
                 const std::string& stroke, double strokeWidth) {
  const std::string paint =
      fmt::format("fill='{}' stroke='{}' stroke-width='{}'", fill, stroke, strokeWidth);
  switch (shape) {
  case Shape::circle:
    return fmt::format("<circle cx='{:.1f}' cy='{:.1f}' r='{:.1f}' {}/>", x, y, r, paint);
  case Shape::square:
    return fmt::format("<rect x='{:.1f}' y='{:.1f}' width='{:.1f}' height='{:.1f}' {}/>",
                       x - r * 0.9, y - r * 0.9, r * 1.8, r * 1.8, paint);
  case Shape::diamond:
    return fmt::format("<polygon points='{:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f}' "
                       "{}/>",
                       x, y - r * 1.2, x + r * 1.2, y, x, y + r * 1.2, x - r * 1.2, y, paint);
  case Shape::plus: {
    const double a = r * 1.1, b = r * 0.4;
    return fmt::format("<polygon points='{:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f} "
                       "{:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f} "
                       "{:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f}' {}/>",
                       x - b, y - a, x + b, y - a, x + b, y - b, x + a, y - b, x + a, y + b, x + b,
                       y + b, x + b, y + a, x - b, y + a, x - b, y + b, x - a, y + b, x - a, y - b,
                       x - b, y - b, paint);
  }
  case Shape::triangleUp:
    return fmt::format("<polygon points='{:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f}' {}/>", x,
                       y - r * 1.3, x + r * 1.2, y + r * 0.8, x - r * 1.2, y + r * 0.8, paint);
  case Shape::triangleDown:
    return fmt::format("<polygon points='{:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f}' {}/>", x,
                       y + r * 1.3, x + r * 1.2, y - r * 0.8, x - r * 1.2, y - r * 0.8, paint);
  }
  return {};
}

std::string swatch(std::size_t index) {
  const Look look = seriesLook(index);
  return "<svg class='swatch' width='14' height='14' aria-hidden='true'>" +
         mark(look.shape, 7, 7, 5, look.colour, "#222", 0.6) + "</svg>";
}

double textWidth(const std::string& text, double px) {
  // Count characters, not bytes: a UTF-8 continuation byte adds nothing. 0.62 em covers
  // digits and most letters of the pages' sans-serif with a little room.
  std::size_t chars = 0;
  for (unsigned char ch : text) chars += (ch & 0xC0) != 0x80;
  return double(chars) * px * 0.62;
}

Ticks niceTicks(double low, double high, int count) {
  if (!(high > low) || !std::isfinite(low) || !std::isfinite(high)) return {{low}, 1};
  const double raw = (high - low) / std::max(1, count);
  const double power = std::pow(10, std::floor(std::log10(raw)));
  double step = power * 10;
  for (double m : {1.0, 2.0, 5.0})
    if (m * power >= raw) {
      step = m * power;
      break;
    }
  Ticks ticks{{}, step};
  for (double v = std::ceil(low / step - 1e-9) * step; v <= high + step * 1e-9; v += step)
    ticks.values.push_back(std::fabs(v) < step * 1e-9 ? 0 : v);
  return ticks;
}

std::string tickText(double value, double step, const Labels& labels) {
  value *= labels.scale, step *= labels.scale;
  const int decimals = std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
  std::string text = fmt::format("{:.{}f}", std::fabs(value), decimals);
  const bool zero = text.find_first_not_of("0.") == std::string::npos;
  // A true minus sign, and a plus only where a change was asked for.
  if (value < 0 && !zero)
    text = "−" + text;
  else if (labels.sign && !zero)
    text = "+" + text;
  return text + labels.suffix;
}

TimeUnit timeUnit(double largest) {
  if (largest >= 1) return {1, "s"};
  if (largest >= 1e-3) return {1e3, "ms"};
  return {1e6, "µs"};
}

std::string bottomAxis(const Scale& x, double y, const Ticks& ticks, const std::string& title,
                       const Labels& labels) {
  std::string svg = fmt::format("<g class='axis'><line x1='{:.1f}' x2='{:.1f}' y1='{:.1f}' "
                                "y2='{:.1f}' stroke='#555'/>",
                                x.from, x.to, y, y);
  for (double t : ticks.values)
    svg += fmt::format("<line x1='{0:.1f}' x2='{0:.1f}' y1='{1:.1f}' y2='{2:.1f}' stroke='#555'/>"
                       "<text class='tick' x='{0:.1f}' y='{3:.1f}' text-anchor='middle'>{4}</text>",
                       x.at(t), y, y + 4, y + 16, escapeHtml(tickText(t, ticks.step, labels)));
  return svg + fmt::format("<text class='axis-title' x='{:.1f}' y='{:.1f}' "
                           "text-anchor='middle'>{}</text></g>",
                           (x.from + x.to) / 2, y + 33, escapeHtml(title));
}

std::string leftAxis(const Scale& y, double x, const Ticks& ticks, const std::string& title,
                     double titleX, const Labels& labels) {
  std::string svg = fmt::format("<g class='axis'><line x1='{:.1f}' x2='{:.1f}' y1='{:.1f}' "
                                "y2='{:.1f}' stroke='#555'/>",
                                x, x, y.from, y.to);
  for (double t : ticks.values)
    svg += fmt::format("<line x1='{0:.1f}' x2='{1:.1f}' y1='{2:.1f}' y2='{2:.1f}' stroke='#555'/>"
                       "<text class='tick' x='{3:.1f}' y='{4:.1f}' text-anchor='end'>{5}</text>",
                       x - 4, x, y.at(t), x - 6, y.at(t) + 4,
                       escapeHtml(tickText(t, ticks.step, labels)));
  const double middle = (y.from + y.to) / 2;
  return svg + fmt::format("<text class='axis-title' x='{0:.1f}' y='{1:.1f}' text-anchor='middle' "
                           "transform='rotate(-90 {0:.1f} {1:.1f})'>{2}</text></g>",
                           titleX, middle, escapeHtml(title));
}

} // namespace bench32::chart
