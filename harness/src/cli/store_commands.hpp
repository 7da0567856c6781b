// The commands around the results database: `run --db/--shard/--revision`, `import`,
// `export`, `history`, and `compare`/`report` on points of the history. None of the
// reading commands builds or runs anything.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "model/results.hpp"
#include "store/database.hpp"
#include "store/sessions.hpp"

namespace bench32 {

struct HistoryOptions {
  std::string db, metric = "wall", format = "text", machine;
  std::vector<std::string> programs, configs;
  CompareSettings settings;
  double failAbove = -1; // a fraction; negative: no gate
  bool noAnchor = false; // the sessions as measured, not relative to their anchor
};

struct TriageOptions {
  std::string db, revision, state, note;
  std::vector<std::string> programs, workloads, configs; // globs; empty workloads/configs: all
};

struct ExportOptions {
  std::string db, file, output, format = "results", config;
  std::int64_t session = 0;
  bool medians = false; // gbench: one repetition per program, its median
};

// The sessions of a database, one line each (or JSON for tools).
int sessionsCommand(const std::string& db, bool asJson);
int importCommand(const std::vector<std::string>& files, const std::string& db);
int exportCommand(const ExportOptions& options);
int historyCommand(HistoryOptions options, const std::filesystem::path& repo);
int compareStoredCommand(CompareOptions options, const std::string& machine);
// Marks the changes of a revision (fixed, accepted, false positive, or open again).
int triageCommand(const TriageOptions& options);
// Every session of a database (of one kind of machine or host, when given), each one's
// results on their own.
std::vector<Results> storedSessions(const std::string& db, const std::string& machine,
                                    const std::filesystem::path& repo);
int reportStoredCommand(const ReportOptions& options, const std::filesystem::path& repo,
                        const std::string& machine);

} // namespace bench32
