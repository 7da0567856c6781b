#include "cli/command_line.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/option_values.hpp"
#include "exec/errors.hpp"
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
  std::string names;
  for (const Exporter* e : exporters()) names += (names.empty() ? "" : ", ") + e->name();
  command.add_option("--format", format, names)->capture_default_str();
}

} // namespace bench32
