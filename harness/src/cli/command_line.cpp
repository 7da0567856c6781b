#include "cli/command_line.hpp"

#include <charconv>
#include <optional>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/option_values.hpp"
#include "exec/errors.hpp"
#include "exec/words.hpp"
#include "output/export/exporter.hpp"

namespace bench32 {

void checkBounds(const CLI::App& command, const std::vector<Bound>& bounds) {
  for (const auto& b : bounds) {
    if (command.count(b.option) == 0) continue;
    const double value = b.value();
    if (b.high < INFINITY && !(value >= b.low && value <= b.high))
      throw BadInput(fmt::format("{} must be between {} and {}", b.option, b.low, b.high));
    if (!(value >= b.low)) throw BadInput(fmt::format("{} must be at least {}", b.option, b.low));
  }
}

void addComparisonRuleOptions(CLI::App& command, CompareSettings& settings) {
  addNumberOption(command, "--alpha", settings.alpha, "Significance level");
  addNumberOption(command, "--min-effect", settings.minEffect,
                  "Smallest relative difference flagged");
  command.add_option("--min-samples", settings.minSamples, "Fewest samples per side for a verdict")
      ->capture_default_str();
}

std::vector<Bound> comparisonRuleBounds(const CompareSettings& settings, const double& failAbove) {
  return {{"--alpha", [&] { return settings.alpha; }, 0, 1},
          {"--min-effect", [&] { return settings.minEffect; }, 0},
          {"--min-samples", [&] { return double(settings.minSamples); }, 1},
          {"--fail-above", [&] { return failAbove; }, 0}};
}

void addFormatOption(CLI::App& command, std::string& format) {
  std::vector<std::string> names;
  for (const Exporter* e : exporters()) names.push_back(e->name());
  command.add_option("--format", format, joinNames(names))->capture_default_str();
}

namespace {

// A number at the start of text, and the rest; nothing when it does not start with one.
std::optional<std::pair<double, std::string>> leadingNumber(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || rest == text.data()) return std::nullopt;
  return std::pair{value, std::string(rest, end)};
}

} // namespace

double parseDuration(const std::string& text, const char* option) {
  static const std::pair<const char*, double> units[] = {{"", 1},   {"s", 1},    {"ms", 1e-3},
                                                         {"m", 60}, {"min", 60}, {"h", 3600}};
  if (const auto number = leadingNumber(text))
    for (const auto& [unit, seconds] : units)
      if (number->second == unit && std::isfinite(number->first) && number->first > 0 &&
          number->first * seconds < 1e9)
        return number->first * seconds;
  throw BadInput(
      fmt::format("{} must be a duration above 0 such as 90s, 5m or 1h, not \"{}\"", option, text));
}

double parsePercent(const std::string& text, const char* option) {
  if (const auto number = leadingNumber(text))
    if ((number->second.empty() || number->second == "%") && number->first > 0 &&
        number->first < 100)
      return number->first / 100;
  throw BadInput(fmt::format(
      "{} must be a percentage between 0 and 100 such as 1 or 0.5%, not \"{}\"", option, text));
}

} // namespace bench32
