// Cases and workloads: what a program is given and what it must produce, read from
// the cases.json and workloads.json in the program's folder. The format is described
// in full, once, in harness/README.md ("A program's folder"); unknown keys are refused.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "exec/errors.hpp"
#include "exec/process.hpp"

namespace bench32 {

struct Expectation {
  std::string name;
  std::string input;
  std::optional<std::string> stdoutBytes; // exact bytes, when given
  std::uint64_t stdoutDigest = 0;         // XXH3-64 of the bytes (always set)
  std::uint64_t stdoutSize = 0;
  int status = 0; // expected exit status, when signal == 0
  int signal = 0; // expected terminating signal, or 0
  std::string note;
  std::optional<std::uint64_t> minInstructions; // of the program's own work, at any -O
};

// The inputs a program is fed by the robustness test, which must all end cleanly.
struct RobustnessProfile {
  // Range of each read, in order; the last range holds for every later read.
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
  int reads = 0;         // how many numbers a normal input holds
  std::string why;       // one line on what bounds the ranges
  std::string endMarker; // "", "any" (-1 ends the input anywhere) or "third" (every third read)
  std::vector<std::string> signals; // signals that may end a run, e.g. "SIGFPE"
};

// A program's workloads.json: its workloads by name, and its robustness profile.
struct ProgramFacts {
  std::map<std::string, Expectation> workloads;
  std::optional<RobustnessProfile> robustness;
};

// The largest input an entry may build, from all its parts.
inline constexpr std::uint64_t maxInputBytes = std::uint64_t{1} << 30;

// Where the {"file": NAME} parts of inputs come from, and how large an input may be.
struct InputSource {
  std::filesystem::path dir; // a relative NAME is read from here
  std::uint64_t maxBytes = maxInputBytes;
  // When set, gives NAME's bytes (at most `limit` of them) in place of the file system.
  std::function<std::string(const std::string& name, std::uint64_t limit)> readPart;
};

// Each throws BadInput with one line naming the file (`what`), the entry and the field.
std::vector<Expectation> parseCases(std::string_view text, std::string_view what,
                                    const InputSource& source);
ProgramFacts parseProgramFacts(std::string_view text, std::string_view what,
                               const InputSource& source);
// The same, read from the file, with file parts beside it.
std::vector<Expectation> loadCases(const std::filesystem::path& casesFile);
ProgramFacts loadProgramFacts(const std::filesystem::path& workloadsFile);
std::map<std::string, Expectation> loadWorkloads(const std::filesystem::path& workloadsFile);

// The workload a profile-guided build trains on, in every program.
inline constexpr const char* trainingWorkload = "train";
// The workload whose input the train workload shares, or empty: a profile trained on a
// measured input would tune the build to it, so such a file is refused.
std::string trainingInputClash(const std::map<std::string, Expectation>& workloads);
// The program's workload of that name; throws BadInput naming the ones it has.
const Expectation& workloadNamed(const std::map<std::string, Expectation>& workloads,
                                 const std::string& program, const std::string& name);

std::uint64_t digest(std::string_view bytes);
std::uint64_t digest(const MemoryFile& file); // read a chunk at a time
std::string digestHex(std::uint64_t digest);

// "SIGFPE" <-> 8; returns 0 / "signal N" when unknown.
int signalNumber(const std::string& name);
std::string signalName(int number);

struct Verdict {
  bool ok = false;
  std::string detail; // one line saying what differs, empty when ok
};

// Checks standard output and the ending of one run against the expectation.
Verdict verify(const Expectation& expected, const RunResult& run);

// How every program of a session runs: under a prefix (an emulator, a tool), within a
// timeout, on processors (empty: the harness's own).
struct RunConditions {
  std::vector<std::string> runUnder;
  double timeout = 120; // seconds
  std::vector<int> cpus;
};

// The request that runs `executable` once on the expected input (from `input` when it
// is given, a file shared by every run), cancelled by an interrupt. A program that runs
// away is stopped as it passes its expected output, which is all the memory its run may
// take; a prefix gets room for files of its own.
RunRequest programRequest(const std::filesystem::path& executable, const Expectation& expected,
                          const std::shared_ptr<const MemoryFile>& input,
                          const RunConditions& conditions);

} // namespace bench32
