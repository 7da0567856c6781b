// `run` as its steps: plan, build, place on the host, measure, record, print. The
// results are recorded before the first build, after each configuration is built and
// after every round, so nothing measured is lost to an error or an interrupt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "model/results.hpp"
#include "run/collector.hpp"
#include "run/options.hpp"

namespace bench32 {

// A session as it ended: its results (recorded), its id in the database when it was
// written there, and the error that stopped it, if one did.
struct MeasuredSession {
  Results results;
  std::optional<std::int64_t> sessionId;
  std::exception_ptr error;
};

// Plans, builds, measures and records the session, printing nothing but `console`'s
// lines: for commands that read the results themselves (bisect).
MeasuredSession measureSession(const RunOptions& options, const std::filesystem::path& source,
                               const std::vector<std::string>& commandLine,
                               const MeasureHooks& console);

// Runs the session and returns its exit status: interrupted, some unit failed, an error
// of its kind, or all well. `console` gets the progress line, the notes and the rounds.
int runSession(const RunOptions& options, const std::filesystem::path& source,
               const std::vector<std::string>& commandLine, const MeasureHooks& console);

// The line under a run's table: how many runs were verified (a failed run is never
// kept) and how many of the measurements failed.
std::string runSummary(std::size_t verifiedRuns, std::size_t failed, std::size_t measurements);

} // namespace bench32
