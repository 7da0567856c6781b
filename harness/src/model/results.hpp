// What a session measured (its JSON form, schema "bench32-results", is in results_file and
// harness/README.md). Every raw sample is kept; summaries are derived.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace bench32 {

// Version 2 adds code layouts (per-sample layout and padding, per-layout binaries);
// version 3 adds copies run at once (per-sample copy, start and end, per-unit rates).
// A session without them is still written as the lowest version that holds it, which
// older readers take.
inline constexpr int resultsVersion = 3;

// One run's measurements; metrics.cpp says how each is named, read and shown.
struct Sample {
  double wall = 0; // seconds
  double user = 0;
  double system = 0;
  double maxRssKiB = 0;
  int layout = -1;      // the code layout run (0, 1, ...), or -1 in a session without layouts
  int paddingBytes = 0; // characters of environment padding the run was given
  // With copies run at once: which copy this run was (0, 1, ...; -1 without copies), and
  // when it started and ended, in seconds from the start of the session's measuring.
  int copy = -1;
  double start = 0;
  double end = 0;
  // In results merged from several sessions, the session the run belongs to (0, 1, ...);
  // -1 in one session's results. Never written to a results file.
  int session = -1;
};

// One code layout of a program: the executable and what identifies it.
struct LayoutBinary {
  std::string path;
  std::string xxh3;
  std::optional<std::uint64_t> textBytes;
};

// A program's compile and link, measured apart from its runs (run --compile-runs): one
// value per round, each round compiling every translation unit of the program and
// linking it once, with the build's own commands.
struct CompileSamples {
  std::vector<double> wall;   // seconds: the program's compiles, one after another, summed
  std::vector<double> cpu;    // user + system seconds of the same, their children included
  std::vector<double> rssKiB; // the largest peak RSS of any one compile
  std::vector<double> link;   // seconds: the link's wall time
  int translationUnits = 0;   // compiled per round
  // Why no compile was kept (one line): then the lists are empty.
  std::string refused;
};

// What became of one (configuration, program, workload): every run verified, one run
// failed, or no timed run at all (the session stopped first).
enum class Status { ok, failed, notRun };
std::string statusName(Status status); // "ok", "failed", "not-run": the results file's words
std::optional<Status> statusFromName(const std::string& name);

struct UnitResult {
  std::string config;
  std::string program;
  std::string workload;
  Status status = Status::notRun;
  std::string failure; // one line, when failed
  std::string binary;  // path of the executable
  std::string binaryXxh3;
  std::string inputXxh3; // of the workload's input, so that comparisons can check it
  std::optional<std::uint64_t> textBytes;
  // The executable's allocated sections, bytes by name; nothing when it is not ELF (or
  // the file predates them).
  std::optional<std::map<std::string, std::uint64_t>> sections;
  std::vector<LayoutBinary> layouts; // with code layouts: each one's executable; else empty
  std::vector<Sample> warmup;
  std::vector<Sample> samples; // timed runs, each verified
  std::optional<std::uint64_t> instructions;
  std::string instructionsSource; // perf or callgrind
  // With --compile-runs: the program's compile, the same for each of its workloads.
  std::optional<CompileSamples> compile;
  // With copies run at once (run --copies): how many each run had, and each timed
  // round's rate: copies finished per second from the first start to the last end.
  int copies = 1;
  std::vector<double> rate;

  bool ok() const { return status == Status::ok; }
};

// A program's profile in a profile-guided configuration: the input it was trained on
// and the profile that training wrote (XXH3-64 digests, in hex).
struct TrainingProfile {
  std::string program;
  std::string workload; // "train"
  std::string inputXxh3;
  std::string profileXxh3;
};

// How a profile-guided configuration was made: built instrumented in one folder, every
// program run on its training input, rebuilt with the profiles in the configuration's
// own folder.
struct ProfileGuided {
  std::string instrumentedDir;
  std::string profileDir;
  std::string mergeTool; // clang++'s llvm-profdata (its version line); empty for g++
  std::vector<TrainingProfile> profiles;
};

struct ConfigInfo {
  std::string name;
  std::string compiler;
  std::string compilerVersion;
  std::string flags;
  std::string buildDir;
  std::string linker;                 // with code layouts: the linker that placed the code
  std::optional<ProfileGuided> pgo{}; // set for a profile-guided configuration
};

// How a verdict-driven session (run --decide) was decided: every configuration against
// the baseline, on one metric, until the comparison's interval settles it to the
// resolution or the budget of measuring time is spent (analysis/sequential.hpp).
struct DecidePlan {
  std::string baseline;       // a configuration's name
  std::string metric = "cpu"; // a per-run metric's name
  double resolution = 0.01;   // relative
  double alpha = 0.01;
  double budgetSeconds = 300;
};

struct Results {
  int version = resultsVersion;
  std::string created; // UTC, ISO 8601
  std::vector<std::string> command;
  std::map<std::string, std::string> environment; // cpu, kernel, host, git revision...
  std::map<std::string, double> settings;         // warmup, runs, min_time, timeout...
  std::string runUnder;
  // The machine the programs ran on ("target" in the results file): machine (uname -m), kernel,
  // cpu, cores, host, and remote ([USER@]HOST:DIR) when that was not this one. The environment
  // above is the build host's. Empty in files written before it was recorded.
  std::map<std::string, std::string> ranOn;
  std::vector<ConfigInfo> configs;
  std::vector<UnitResult> units;
  std::optional<DecidePlan> decide; // a verdict-driven session's plan
  // The configuration run as the session's fixed point (run --anchor): the same
  // executables in every session, so that other configurations can be read relative to it.
  std::string anchor;
  bool complete = false;
  std::string stopReason; // why the session ended early, when it did

  const UnitResult* find(const std::string& config, const std::string& program,
                         const std::string& workload) const;
};

// A timed run whose wall time is far above its user and system time: the program
// waited for a processor, so the machine was busy. Such runs are counted and shown.
// Far above: more than busyWallFactor times user + system, plus busyWallMargin seconds,
// the margin covering the tick-based accounting of user and system time in short runs.
inline constexpr double busyWallFactor = 1.5;
inline constexpr double busyWallMargin = 0.01;
bool busyRun(const Sample& sample);
// The note under a table when some of its timed runs were busy; empty when none was.
std::string busyRunsNote(std::size_t busy, std::size_t runs);

// The line that reports a failed unit: "FAILED CONFIG PROGRAM/WORKLOAD: why".
std::string failureLine(const UnitResult& unit);
std::size_t busyRuns(const UnitResult& unit);
// The share of a unit's timed wall time that its runs spent waiting for a processor:
// each run's wall time less its user and system time (and half a millisecond), over
// all the wall time.
double waitedShare(const UnitResult& unit);
// A unit whose runs waited for more than disturbedShare of their time: the machine was
// busy with other work, which moves every time it measures. Such sessions teach the
// noise model nothing about a quiet machine's noise.
inline constexpr double disturbedShare = 0.05;
inline bool disturbed(const UnitResult& unit) { return waitedShare(unit) > disturbedShare; }

// The kind of machine of a session's environment ("CPU, N cores, ARCH"), and the
// revision it is filed under (its --revision label, else its git revision).
std::string machineKind(const std::map<std::string, std::string>& environment);
// What the programs ran on, as the build host's environment describes it: for a run on
// this machine.
std::map<std::string, std::string>
thisMachine(const std::map<std::string, std::string>& environment);
// One line naming the machine the programs ran on when it was not the build host;
// empty when they ran on it, or when the file does not say.
std::string ranOnNote(const Results& results);
std::string revisionOf(const std::map<std::string, std::string>& environment);

} // namespace bench32
