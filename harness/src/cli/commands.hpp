// The harness's commands, each a function from its options to an exit status; main
// only parses the command line into these options.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "analysis/compare.hpp"
#include "cli/command_line.hpp"
#include "run/options.hpp"

namespace bench32 {

struct CompareOptions {
  std::vector<std::string> files;
  std::string baseline, format = "text", metric = "wall";
  double failAbove = -1;  // a fraction; negative: no gate
  std::string resolution; // PCT: verdicts to this resolution too (empty: a --decide file's)
  CompareSettings settings;
  // Points of a results database to compare, instead of files: the first is the baseline.
  std::string db;
  std::vector<std::string> revisions;
  std::vector<std::int64_t> sessions;
  std::string machine;   // with db: only sessions of this kind of machine or host (a glob)
  bool noAnchor = false; // with db: the sessions as measured, not relative to their anchor
  std::string note;      // a line under the table (how the values were read)
};

struct ReportOptions {
  std::vector<std::string> files;
  std::string output, baseline;
  std::vector<std::string> pairs; // "BASE:OTHER" series labels: the comparisons shown
  std::string db;                 // adds the history's trend charts
  std::string machine;            // with db: only sessions of this kind of machine or host (a glob)
  bool explain = false;           // each flagged program's explain tables in its drill-down
  std::filesystem::path source;   // the suite's source tree, for explain's workloads
};

// Each command's options and what runs it, for the command table.
CommandRunner addListCommand(CLI::App& app);
CommandRunner addRunCommand(CLI::App& app);
CommandRunner addCompareCommand(CLI::App& app);
CommandRunner addReportCommand(CLI::App& app);
CommandRunner addShowCommand(CLI::App& app);
CommandRunner addHistoryCommand(CLI::App& app);
CommandRunner addTriageCommand(CLI::App& app);
CommandRunner addImportCommand(CLI::App& app);
CommandRunner addExportCommand(CLI::App& app);
CommandRunner addExplainCommand(CLI::App& app);
CommandRunner addScoreCommand(CLI::App& app);
CommandRunner addBisectCommand(CLI::App& app);
CommandRunner addServeCommand(CLI::App& app);
CommandRunner addCheckCommand(CLI::App& app);
CommandRunner addCompletionCommand(CLI::App& app);
CommandRunner addManCommand(CLI::App& app);

// The reference machine's results that `score` measures against unless told otherwise,
// relative to the source tree.
inline constexpr const char* defaultReference = "reference/ci-machine.json";

int runCommand(const RunOptions& options, const std::filesystem::path& source,
               const std::vector<std::string>& commandLine);
// With full, each workload's input and (when exact) expected output are in the JSON too.
int listCommand(const std::filesystem::path& source, bool asJson, bool full);
int showCommand(const std::string& file, const std::string& format);
int compareCommand(CompareOptions options);
int reportCommand(const ReportOptions& options);
// The same on results already loaded, each named for its labels.
int compareResults(CompareOptions options, const std::vector<Results>& results,
                   const std::vector<std::string>& names);
// With an HTML fragment added at the end of the page.
int reportResults(const ReportOptions& options, const std::vector<Results>& results,
                  const std::vector<std::string>& names, const std::string& appendix,
                  const CompareSettings& settings = {});

} // namespace bench32
