// What the commands' option parsing shares: the options that several commands take (the comparison
// rule, the output format, a database), and the checks of number options, each stated once.
#pragma once

#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/compare.hpp"

namespace CLI {
class App;
class Validator;
class Option;
} // namespace CLI

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

// For ->check() on every --metric: an unknown name refused with the nearest known one.
const CLI::Validator& knownMetric();

// --format with the exporters' names.
void addFormatOption(CLI::App& command, std::string& format);

// A DURATION: a number of seconds with an optional unit, "90", "90s", "5m", "1.5h" or "250ms".
// Throws BadInput naming the option for anything else, or a value not finite and above 0.
double parseDuration(const std::string& text, const char* option);
// A PCT, a relative amount, one rule in every command: "2%" and "0.02" are the same;
// a bare number of 1 or more is a percentage too ("5" is 5%), as no threshold here
// means 100% or more. Returned as a fraction. Throws BadInput naming the option for
// anything else, or a negative amount; each option checks its own range.
double parseRelative(const std::string& text, const char* option);
// --resolution's PCT: above 0% and below 100%.
double parseResolution(const std::string& text);
// A fraction as a PCT is shown: "2%", "0.5%".
std::string relativeText(double fraction);
// An option that takes a PCT into fraction, its default shown as a percentage (none when
// fraction is negative, the sign of an option not given).
CLI::Option* addRelativeOption(CLI::App& app, const std::string& name, double& fraction,
                               const std::string& help);

// Every option's placeholder in the help says what the value is (FILE, N, NAME=DIR,
// DURATION...), not the parser's type: taken from the start of its help ("PCT: ..."),
// else from its name, else N for a count and X for a number. For the command and
// every command under it.
void namePlaceholders(CLI::App& command);

// The line for words a command does not take: an unknown option first, with the nearest
// known option of the command, else the first unexpected word.
std::string unexpectedWords(const CLI::App& command, const std::vector<std::string>& words);

// A parser's error as one line in bench32's words ("--json needs a value: FILE"), the
// option named by lastOption (the command line's last option word) where the parser
// names none; a message it has no better words for is kept.
std::string parseErrorLine(const std::string& what, const std::string& lastOption);

// For ->check() on every results file a command reads: a results database given in
// its place is named as one, rather than read as a malformed results file. Throws
// BadInput; a file that cannot be opened is left to the reader to name.
void checkResultsFile(const std::string& file);
const CLI::Validator& resultsFile();

// A NAME=DIR of -b or --anchor whose folder holds no build is refused before anything
// runs: a folder missing, not a folder, or with neither a CMakeCache.txt nor a
// build.ninja (nor, when nothing is built, the programs' bin/). A malformed NAME=DIR is
// left to the plan to name. Throws BadInput.
void checkBuildFolder(const std::string& text, const char* option, bool noBuild);

// Whether a file option names standard output ("-").
inline bool isStandardOutput(const std::string& file) { return file == "-"; }

// The file options of one command that are "-": none is left as it is; one is given
// the command's standard output, which from now on goes to standard error so that the
// table printed there does not mix with the file's contents (the option's value becomes
// a name of the saved descriptor). Two or more are refused: BadInput.
void takeStandardOutput(const std::vector<std::pair<std::string, std::string*>>& files);

// How a results database is named on the command line.
inline constexpr const char* databaseHelp =
    "Results database: an SQLite file, or a postgresql:// URL";

} // namespace bench32
