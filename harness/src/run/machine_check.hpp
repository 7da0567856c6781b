// What on this machine moves timings, and what to do about each: the clock's governor,
// turbo, address randomisation, hardware threads sharing a core, other work (the load
// average) and a neighbour that keeps the programs waiting for a processor. `check`
// prints every finding; `run` warns in one line of those that fail.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "output/table.hpp"

namespace bench32 {

enum class Finding { ok, fails, unknown };

struct MachineCheck {
  std::string name; // "governor", "turbo", "aslr", "smt", "load", "waiting"
  Finding finding = Finding::unknown;
  std::string state;  // what was seen: "powersave on 0-3", "on", "2 (full)"...
  std::string advice; // what to do when it fails; why it cannot be said when unknown
};

// What was read of the machine for the processors the programs run on.
struct MachineState {
  std::vector<int> cpus;
  std::vector<std::string> governors; // per processor; "" where it has no cpufreq
  std::string turbo;                  // "on", "off" or "unknown"
  std::string aslr;                   // randomize_va_space, or ""
  std::vector<std::string> siblings;  // per core used: its hardware threads, "0,4"
  std::string smtActive;              // smt/active: "1", "0" or ""
  double load = -1;                   // 1-minute load average; negative: unreadable
  std::optional<double> waited;       // the probe's share of wall time spent waiting
};

// The state under root (tests give a tree of their own), for cpus (empty: those the
// harness may use); with probe, each processor is also kept busy for a tenth of a second
// to see how much of it the thread spent waiting.
MachineState readMachineState(const std::vector<int>& cpus, bool probe,
                              const std::filesystem::path& root = "/");

// One check per concern, in a fixed order.
std::vector<MachineCheck> judgeMachine(const MachineState& state);

// "governor powersave, turbo on": the failing checks, or "" when none fails.
std::string failingChecks(const std::vector<MachineCheck>& checks);

// For run, before it measures here: "this machine moves timings: governor powersave,
// turbo on (bench32 check says what to do)", or "" when no check fails. Not probed.
std::string machineWarning(const std::vector<int>& cpus);

// The checks as a table: check, finding, state, what to do.
Document checkDocument(const std::vector<MachineCheck>& checks);

} // namespace bench32
