// What the commands' option parsing shares: the options that several commands take (the comparison
// rule, the output format, a database), and the checks of number options, each stated once.
#pragma once

#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "analysis/compare.hpp"

namespace CLI {
class App;
}

namespace bench32 {

// What every command is given besides its own options.
struct CommandContext {
  std::filesystem::path source; // the suite's source tree
  std::vector<std::string> commandLine;
};

using CommandRunner = std::function<int(const CommandContext&)>;

// A number option's allowed range, checked once the command line is parsed; an option
// not given is not checked.
struct Bound {
  const char* option;
  std::function<double()> value;
  double low;
  double high = INFINITY; // inclusive; +inf: none
};
// Throws BadInput naming the option and its range.
void checkBounds(const CLI::App& command, const std::vector<Bound>& bounds);

// --alpha, --min-effect and --min-samples, and their ranges with that of --fail-above.
void addComparisonRuleOptions(CLI::App& command, CompareSettings& settings);
std::vector<Bound> comparisonRuleBounds(const CompareSettings& settings, const double& failAbove);

// --format with the exporters' names.
void addFormatOption(CLI::App& command, std::string& format);

// A DURATION: a number of seconds with an optional unit, "90", "90s", "5m", "1.5h" or "250ms".
// Throws BadInput naming the option for anything else, or a value not finite and above 0.
double parseDuration(const std::string& text, const char* option);
// A PCT: a percentage, "1", "0.5" or "2%"; returned as a fraction (0.01 for "1"). Throws
// BadInput naming the option unless it is finite and above 0 and below 100.
double parsePercent(const std::string& text, const char* option);

// How a results database is named on the command line.
inline constexpr const char* databaseHelp =
    "Results database: an SQLite file, or a postgresql:// URL";

} // namespace bench32
