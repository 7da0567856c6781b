// What `run` is asked to do, as plain data: the command line's options once parsed
// (prefixes split into words, processors and the remote host read), for the layers that
// plan, build and measure.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "exec/remote.hpp"
#include "run/unit.hpp"

namespace bench32 {

struct RunOptions {
  std::vector<std::string> workloads{"ref"};
  std::vector<std::string> programs; // names or globs; empty: all
  std::vector<std::string> exclude;  // names or globs
  std::vector<std::string> configs;  // NAME=COMPILER:FLAGS
  std::vector<std::string> builds;   // NAME=DIR
  std::string anchor;                // NAME=DIR: the fixed build run beside the others
  std::vector<std::string> pgo;      // configurations built profile-guided
  std::string buildRoot;             // where configurations are built (empty: build/)
  bool noBuild = false;
  int jobs = 0;
  RunSettings settings;                       // its runUnder split into words
  std::string json;                           // the results file
  std::map<std::string, std::string> exports; // exporter name -> file of the run table
  std::string db;                             // the database URL the session is also written into
  std::string shard;                          // "K/N": run only that slice of the units
  std::string revision; // the label to file the session under, instead of its git revision
  std::optional<RemoteHost> remote; // measure there (unset: here)
};

} // namespace bench32
