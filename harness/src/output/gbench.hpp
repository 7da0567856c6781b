// A session in Google Benchmark's JSON form, so that the tools built for it (its
// compare.py with the U-test) read bench32 sessions, with wall time as real_time and
// user + system time as cpu_time.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "model/results.hpp"

namespace bench32 {

// Benchmarks are named PROGRAM/WORKLOAD, or PROGRAM/WORKLOAD/CONFIG when the session
// has more than one configuration (or `config` names none). Units with no timed run
// are left out. Throws BadInput when `config` names no configuration of the session.
//
// Every run is a repetition, followed by the aggregates (mean, median, stddev, cv) as the
// tool writes them: its U test then compares the runs, and its `_median` rows the same
// ratios as `compare`. Its overall geometric mean is taken over the repetitions, so it
// weights each program by its number of runs; with `medians`, each program is written
// as one run, its median, and that mean is `compare`'s geometric mean ratio.
nlohmann::json gbenchJson(const Results& results, const std::string& config = {},
                          bool medians = false);

} // namespace bench32
