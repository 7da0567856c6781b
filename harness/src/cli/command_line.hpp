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

// How a results database is named on the command line.
inline constexpr const char* databaseHelp =
    "Results database: an SQLite file, or a postgresql:// URL";

} // namespace bench32
