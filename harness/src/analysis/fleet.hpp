// Running one matrix on many machines: each shard runs a deterministic slice of the
// (configuration, program, workload) units and records its own session; readers merge
// the sessions of one revision back into one set of results.
#pragma once

#include <string>
#include <vector>

#include "model/results.hpp"

namespace bench32 {

struct Shard {
  int index = 1; // 1-based
  int count = 1;
  std::string text() const; // "K/N"
};

// "K/N" with 1 <= K <= N. Throws BadInput naming the form.
Shard parseShard(const std::string& text);

// Whether the unit at this position of the session's unit list (in plan order:
// configuration, program, workload) belongs to the shard. Dealing units out in turn
// gives every shard a share of each configuration and of the long programs alike.
bool inShard(std::size_t position, const Shard& shard);

// Keeps only the shard's units, and notes the shard in the environment.
void keepShard(Results& results, const Shard& shard);

// Several sessions as one: the configurations of all, and each unit's samples pooled
// across the sessions that measured it. A unit failed anywhere is failed.
Results mergeResults(const std::vector<Results>& sessions);

// A warning when the sessions ran on different kinds of machine (CPU model, cores,
// architecture), naming them; empty otherwise.
std::string machineWarning(const std::vector<Results>& sessions, const std::string& what);

} // namespace bench32
