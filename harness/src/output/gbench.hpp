// A session in Google Benchmark's JSON form, so that the tools built for it (its
// compare.py with the U-test) read bench32 sessions: every timed run of a program is
// one repetition, with its wall time as real_time and user + system time as cpu_time.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "model/results.hpp"

namespace bench32 {

// Benchmarks are named PROGRAM/WORKLOAD, or PROGRAM/WORKLOAD/CONFIG when the session
// has more than one configuration (or `config` names none). Units with no timed run
// are left out. Throws BadInput when `config` names no configuration of the session.
nlohmann::json gbenchJson(const Results& results, const std::string& config = {});

} // namespace bench32
