// Cases and workloads: what a program is given and what it must produce.
//
// Both live beside each program as JSON (cases.json, workloads.json). One entry:
//   {"name": "seven", "input": "7\n", "stdout": "7 22 11 ...\n", "status": 0}
// "input" is a string, or a list of parts, each a string or
// {"repeat": "5 ", "times": 1000000}, or {"file": "ref.in"} (beside the JSON file).
// The expected standard output is either "stdout" (exact bytes) or, for long
// outputs, "stdout_xxh3" (hex XXH3-64 digest) with "stdout_size" (bytes).
// The ending is "status" (exit status, 0 when absent) or "signal" (e.g. "SIGFPE").
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "process.hpp"

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
};

// A file that cannot be used: the message names the file and what is wrong.
struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Expectation parseExpectation(const nlohmann::json& entry, const std::filesystem::path& dir);
std::vector<Expectation> loadCases(const std::filesystem::path& casesFile);
std::map<std::string, Expectation> loadWorkloads(const std::filesystem::path& workloadsFile);

std::uint64_t digest(std::string_view bytes);
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

} // namespace bench32
