// Timing a program's compile and link (run --compile-runs): the build's own commands
// (build/compile_commands.hpp) run again by the spawner, in rounds interleaved across
// configurations. The objects compiled are linked with the build's link command and the
// executable must be byte for byte the built one: the compile measured is the compile
// that made the binary.
#pragma once

#include <atomic>
#include <string>

#include "build/compile_commands.hpp"
#include "run/collector.hpp"

namespace bench32 {

// One round of a job: its compiles' wall time summed, their user and system time, the
// largest peak RSS, the link's wall time; or why the round does not count.
struct CompileRound {
  double wall = 0;
  double cpu = 0;
  double rssKiB = 0;
  double link = 0;
  std::string error; // one line; set when the round does not count
  bool cancelled = false;
};

// Runs every command of the job once. The executable linked must have the digest
// `expectedXxh3` (the built one's), else the round does not count.
CompileRound compileOnce(const CompileJob& job, const std::string& expectedXxh3, double timeout,
                         const std::atomic<bool>* cancel, const Runner& runner = runProcess);

// The compile-time collector: settings.compileRuns rounds of compiles of every program
// built in every configuration, one program's configurations side by side and the order
// reversed every other round, as runs are; fills in the compile of each of the program's
// units. Each command may take the longer of the run timeout and ten minutes. Returns
// false when interrupted.
bool measureCompiles(const Measuring& measuring);

} // namespace bench32
