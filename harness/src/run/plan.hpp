// Planning a session: which programs, workloads and configurations, checked before
// anything is built or run, so that a mistake costs a second rather than an hour.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "build/build.hpp"
#include "exec/expectation.hpp"
#include "model/results.hpp"
#include "model/suite.hpp"
#include "run/unit.hpp"

namespace bench32 {

// What `run` is asked to measure, as the command line gave it.
struct RunOptions {
  std::vector<std::string> workloads{"ref"};
  std::vector<std::string> programs;          // names or globs; empty: all
  std::vector<std::string> exclude;           // names or globs
  std::vector<std::string> configs;           // NAME=COMPILER:FLAGS
  std::vector<std::string> builds;            // NAME=DIR
  std::string anchor;                         // NAME=DIR: the fixed build run beside the others
  std::vector<std::string> pgo;               // configurations built profile-guided
  std::string json;                           // the results file
  std::map<std::string, std::string> exports; // exporter name -> file of the run table
  std::string runUnder, buildRoot;
  bool noBuild = false;
  int jobs = 0;
  RunSettings settings;
  std::string db;          // also write the session into this database
  std::string shard;       // "K/N": run only that slice of the units
  std::string revision;    // the label to file the session under, instead of its git revision
  std::string remote;      // [USER@]HOST[:DIR]: measure there (empty: here)
  std::string ssh = "ssh"; // the command every connection to the remote target runs
};

struct Plan {
  std::vector<ProgramInfo> programs;
  std::vector<std::string> workloads;
  // (program, workload) -> what the program is given and must produce.
  std::map<std::pair<std::string, std::string>, std::shared_ptr<const Expectation>> expected;
  std::vector<BuildTarget> targets;
  std::string anchor; // the anchor's configuration, when there is one
};

// The programs named (exactly, or by a glob such as "list*") and not excluded, in
// suite order. Throws BadInput for a name that matches nothing, with a "did you mean"
// when one differs only in case.
std::vector<ProgramInfo> selectPrograms(const std::vector<ProgramInfo>& all,
                                        const std::vector<std::string>& wanted,
                                        const std::vector<std::string>& excluded);

// Throws BadInput (or WriteError for an output file that cannot be written).
Plan makePlan(const RunOptions& options, const std::filesystem::path& source);

// The results file before the first run: every unit not-run, settings and machine noted.
Results startResults(const Plan& plan, const RunOptions& options,
                     const std::filesystem::path& source,
                     const std::vector<std::string>& commandLine);

} // namespace bench32
