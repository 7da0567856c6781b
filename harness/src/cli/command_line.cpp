#include "cli/command_line.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

#include <fcntl.h>
#include <optional>
#include <regex>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/option_values.hpp"
#include "exec/decimal.hpp"
#include "exec/errors.hpp"
#include "exec/words.hpp"
#include "model/metrics.hpp"
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
  addRelativeOption(command, "--min-effect", settings.minEffect,
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
  command.add_option("--format", format, joinNames(names))
      ->capture_default_str()
      ->check(CLI::Validator(
          [names](const std::string& name) {
            if (std::find(names.begin(), names.end(), name) == names.end())
              throw BadInput(
                  fmt::format("unknown format \"{}\"{}", name, suggestion(name, names, "")));
            return std::string();
          },
          ""));
}

const CLI::Validator& knownMetric() {
  static const CLI::Validator check(
      [](const std::string& name) {
        std::vector<std::string> names;
        for (const MetricInfo& m : metrics()) names.push_back(m.name);
        if (std::find(names.begin(), names.end(), name) == names.end())
          throw BadInput(
              fmt::format("unknown metric \"{}\"{}", name, suggestion(name, names, "metrics")));
        return std::string();
      },
      "");
  return check;
}

namespace {

// The placeholders of options whose help does not start with one, by long name.
const std::map<std::string, std::string>& placeholderOf() {
  static const std::map<std::string, std::string> table{
      {"json", "FILE"},         {"csv", "FILE"},
      {"markdown", "FILE"},     {"html", "FILE"},
      {"output", "FILE"},       {"log", "FILE"},
      {"reference", "FILE"},    {"token-file", "FILE"},
      {"db", "FILE|URL"},       {"source", "DIR"},
      {"build-root", "DIR"},    {"work", "DIR"},
      {"repo", "DIR"},          {"programs", "NAME"},
      {"program", "NAME"},      {"exclude", "NAME"},
      {"workload", "NAME"},     {"baseline", "NAME"},
      {"pgo", "NAME"},          {"reference-config", "NAME"},
      {"metric", "METRIC"},     {"format", "FORMAT"},
      {"revision", "REV"},      {"machine", "GLOB"},
      {"session", "ID"},        {"cpu", "LIST"},
      {"run-under", "COMMAND"}, {"ssh", "COMMAND"},
      {"state", "STATE"},       {"note", "LINE"},
      {"files", "FILE"},        {"file", "FILE"},
      {"results", "FILE"},      {"min-time", "SECONDS"},
      {"timeout", "SECONDS"},   {"alpha", "P"},
      {"min-effect", "PCT"},    {"fail-above", "PCT"},
      {"precision", "PCT"},     {"build", "NAME=DIR"},
      {"anchor", "NAME=DIR"},   {"config", "NAME=COMPILER:FLAGS"},
      {"shard", "K/N"},         {"remote", "[USER@]HOST[:DIR]"},
      {"pair", "BASE:OTHER"}};
  return table;
}

// A placeholder that the help starts with, "PCT: ..." or "NAME=COMPILER:FLAGS, ...";
// empty when it starts with none.
std::string leadingPlaceholder(const std::string& help) {
  const std::size_t end = help.find_first_of(":,");
  if (end == std::string::npos || end == 0 || end + 1 >= help.size() || help[end + 1] != ' ')
    return {};
  const std::string word = help.substr(0, end);
  // The first colon of NAME=COMPILER:FLAGS is within the word.
  const std::size_t close = help.find(", ");
  const std::string longer = close == std::string::npos ? word : help.substr(0, close);
  const auto placeholder = [](const std::string& text) {
    return !text.empty() &&
           text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_=:@[]/.|-") == std::string::npos;
  };
  if (placeholder(longer) && longer.find(' ') == std::string::npos) return longer;
  return placeholder(word) ? word : std::string();
}

// A number at the start of text, and the rest; nothing when it does not start with one.
std::optional<std::pair<double, std::string>> leadingNumber(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || rest == text.data()) return std::nullopt;
  return std::pair{value, std::string(rest, end)};
}

} // namespace

void namePlaceholders(CLI::App& command) {
  for (CLI::Option* option : command.get_options()) {
    // A flag takes no value, and a hand-written option text is already right.
    if (option->get_items_expected_max() == 0 || !option->get_option_text().empty()) continue;
    // Only the parser's own names are replaced: one given by hand is kept.
    const std::string given = option->get_type_name();
    const std::string base = given.substr(0, given.find(':'));
    if (!base.empty() && base != "TEXT" && base != "INT" && base != "UINT" && base != "FLOAT" &&
        base != "X")
      continue;
    const std::string help = option->get_description();
    const std::string name = option->get_name(false, true);
    const std::string key = option->get_lnames().empty() ? name : option->get_lnames().front();
    if (const std::string lead = leadingPlaceholder(help); !lead.empty()) {
      option->type_name(lead);
      option->description(help.substr(lead.size() + 2));
    } else if (const auto it = placeholderOf().find(key); it != placeholderOf().end()) {
      option->type_name(it->second);
    } else {
      option->type_name(base == "FLOAT" || base == "X" ? "X" : base == "TEXT" ? "VALUE" : "N");
    }
  }
  for (CLI::App* sub : command.get_subcommands({})) namePlaceholders(*sub);
}

std::string unexpectedWords(const CLI::App& command, const std::vector<std::string>& words) {
  std::vector<std::string> known;
  for (const CLI::Option* option : command.get_options()) {
    if (option->get_group().empty()) continue; // a hidden alias: the shown name is suggested
    for (const auto& n : option->get_lnames()) known.push_back("--" + n);
    for (const auto& n : option->get_snames()) known.push_back("-" + n);
  }
  const std::string where = command.get_parent() ? command.get_name() + ": " : "";
  for (const auto& word : words) {
    if (word.size() < 2 || word[0] != '-' || std::isdigit(static_cast<unsigned char>(word[1])))
      continue;
    const std::string name = word.substr(0, word.find('='));
    if (name.find_first_not_of('-') == std::string::npos) continue;
    // Compared without their dashes, so that "-x" is no slip for "-n".
    std::vector<std::string> bare;
    for (const auto& k : known)
      bare.push_back(k.substr(std::min(k.find_first_not_of('-'), k.size())));
    const std::string nearest = nearestName(name.substr(name.find_first_not_of('-')), bare);
    if (!nearest.empty()) {
      const std::string shown =
          known[std::size_t(std::find(bare.begin(), bare.end(), nearest) - bare.begin())];
      return fmt::format("{}unknown option \"{}\"; did you mean \"{}\"?", where, name, shown);
    }
    const std::string help = command.get_parent()
                                 ? command.get_parent()->get_name() + " " + command.get_name()
                                 : command.get_name();
    return fmt::format("{}unknown option \"{}\" (see {} --help)", where, name, help);
  }
  return fmt::format("{}unexpected argument \"{}\"", where, words.empty() ? "" : words.front());
}

std::string parseErrorLine(const std::string& what, const std::string& lastOption) {
  // "--json: 1 required FILE missing", as the parser says an option given no value; a
  // hidden option (an earlier spelling) goes unnamed there.
  static const std::regex missing(R"(^(\S*): (\d+) required (\S+) missing$)");
  if (std::smatch m; std::regex_match(what, m, missing)) {
    const std::string name = m[1].length() ? m[1].str() : lastOption;
    return m[2] == "1" ? fmt::format("{} needs a value: {}", name, m[3].str())
                       : fmt::format("{} needs {} values: {}", name, m[2].str(), m[3].str());
  }
  return what;
}

void checkResultsFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  char head[16] = {};
  if (!in.read(head, sizeof head)) return;
  static constexpr char sqlite[16] = "SQLite format 3"; // with its NUL: the file's first 16 bytes
  if (std::equal(std::begin(head), std::end(head), std::begin(sqlite)))
    throw BadInput(
        fmt::format("{} is an SQLite database, not a results file; use --db {}", file, file));
}

const CLI::Validator& resultsFile() {
  static const CLI::Validator check(
      [](const std::string& file) {
        checkResultsFile(file);
        return std::string();
      },
      "");
  return check;
}

void checkBuildFolder(const std::string& text, const char* option, bool noBuild) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) return;
  const std::filesystem::path dir = text.substr(equals + 1);
  std::error_code error;
  const auto status = std::filesystem::status(dir, error);
  if (!std::filesystem::exists(status))
    throw BadInput(fmt::format("{} {}: no such folder", option, text));
  if (!std::filesystem::is_directory(status))
    throw BadInput(fmt::format("{} {}: not a folder", option, text));
  for (const char* mark : {"CMakeCache.txt", "build.ninja"})
    if (std::filesystem::exists(dir / mark, error)) return;
  if (noBuild && std::filesystem::is_directory(dir / "bin", error)) return;
  throw BadInput(fmt::format("{} {}: holds no build (no CMakeCache.txt or build.ninja); "
                             "configure it with cmake first, or give -c NAME=COMPILER:FLAGS",
                             option, text));
}

void takeStandardOutput(const std::vector<std::pair<std::string, std::string*>>& files) {
  std::vector<std::pair<std::string, std::string*>> dashes;
  for (const auto& f : files)
    if (isStandardOutput(*f.second)) dashes.push_back(f);
  if (dashes.empty()) return;
  if (dashes.size() > 1)
    throw BadInput(fmt::format("{} and {} both write to standard output (-): give one a file",
                               dashes[0].first, dashes[1].first));
  std::fflush(stdout);
  const int saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
    throw std::runtime_error(
        fmt::format("standard output: cannot set aside: {}", std::strerror(errno)));
  // Standard error's lines and the table's, now on one stream, keep their order.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  *dashes[0].second = fmt::format("/dev/fd/{}", saved);
}

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

double parseRelative(const std::string& text, const char* option) {
  const bool percent = !text.empty() && text.back() == '%';
  std::string why;
  const auto number = parseDecimal(percent ? text.substr(0, text.size() - 1) : text, why);
  if (!number)
    throw BadInput(
        fmt::format("{} {}: not a relative amount such as 2% or 0.02", option, shownText(text)));
  if (*number < 0) throw BadInput(fmt::format("{} must be at least 0%", option));
  // No threshold here means 100% or more, so a bare 1 or more is the percentage meant.
  return percent || *number >= 1 ? *number / 100 : *number;
}

double parseResolution(const std::string& text) {
  const double fraction = parseRelative(text, "--resolution");
  if (!(fraction > 0 && fraction < 1))
    throw BadInput(
        fmt::format("--resolution must be above 0% and below 100%, not {}", shownText(text)));
  return fraction;
}

std::string relativeText(double fraction) { return fmt::format("{:g}%", fraction * 100); }

CLI::Option* addRelativeOption(CLI::App& app, const std::string& name, double& fraction,
                               const std::string& help) {
  return app
      .add_option(
          name,
          [&fraction, name](const CLI::results_t& words) {
            fraction = parseRelative(words.back(), name.c_str());
            return true;
          },
          help)
      ->expected(1)
      ->type_name("PCT")
      ->default_str(fraction >= 0 ? relativeText(fraction) : "");
}

} // namespace bench32
