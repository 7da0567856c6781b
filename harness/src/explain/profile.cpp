#include "explain/profile.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include <fmt/format.h>

#include "exec/expectation.hpp"
#include "exec/files.hpp"
#include "exec/tool.hpp"

namespace bench32 {
namespace {

// "127,602 (100.0%)  rest": the count with its thousands separators, and the rest.
bool splitCount(const std::string& line, std::uint64_t& count, std::string& rest) {
  std::size_t at = line.find_first_not_of(' ');
  if (at == std::string::npos || !std::isdigit(static_cast<unsigned char>(line[at]))) return false;
  count = 0;
  for (;
       at < line.size() && (std::isdigit(static_cast<unsigned char>(line[at])) || line[at] == ',');
       ++at) {
    if (line[at] == ',') continue;
    const std::uint64_t digit = static_cast<std::uint64_t>(line[at] - '0');
    if (count > (UINT64_MAX - digit) / 10) return false;
    count = count * 10 + digit;
  }
  const std::size_t close = line.find(')', at);
  if (close == std::string::npos) return false;
  const std::size_t name = line.find_first_not_of(' ', close + 1);
  rest = name == std::string::npos ? std::string() : line.substr(name);
  return true;
}

// "file:function'2 [object]" -> "function". File names hold no ':'; C++ names may.
std::string functionName(const std::string& entry) {
  std::string name = entry;
  if (name.size() > 1 && name.back() == ']') {
    const std::size_t open = name.rfind(" [");
    if (open != std::string::npos) name.erase(open);
  }
  const std::size_t colon = name.find(':');
  if (colon != std::string::npos) name.erase(0, colon + 1);
  return profiledFunction(name);
}

} // namespace

FunctionProfile parseAnnotated(const std::string& annotated) {
  FunctionProfile profile;
  bool haveTotal = false;
  std::uint64_t sum = 0;
  std::istringstream lines(annotated);
  for (std::string line; std::getline(lines, line);) {
    std::uint64_t count = 0;
    std::string rest;
    if (!splitCount(line, count, rest)) continue;
    if (rest == "PROGRAM TOTALS") {
      profile.total = count;
      haveTotal = true;
      continue;
    }
    if (!haveTotal || rest.empty()) continue;
    profile.self[functionName(rest)] += count;
    sum += count;
  }
  if (!haveTotal)
    profile.error = "no PROGRAM TOTALS in callgrind_annotate's output";
  else if (sum != profile.total)
    profile.error = "callgrind_annotate's functions add up to " + std::to_string(sum) +
                    ", not its total " + std::to_string(profile.total);
  return profile;
}

FunctionProfile profileFunctions(const Runner& runner, const PlannedUnit& unit,
                                 const RunSettings& settings) {
  FunctionProfile profile;
  TemporaryFile out, log;
  RunRequest request = programRequest(unit, settings);
  // The same run as `run --instructions` counts under callgrind: the whole program,
  // with its output file kept for the per-function costs.
  const std::vector<std::string> prefix{"valgrind", "--tool=callgrind", "--dump-instr=yes",
                                        "--callgrind-out-file=" + out.path,
                                        "--log-file=" + log.path};
  request.argv.insert(request.argv.begin(), prefix.begin(), prefix.end());
  request.fileRoom = prefixFileRoom;
  request.timeout *= callgrindSlowdown;
  const RunResult run = runner(request);
  const Verdict verdict = verify(*unit.expected, run);
  if (!verdict.ok) {
    profile.error = verdict.detail;
    return profile;
  }
  RunRequest annotate;
  annotate.argv = {"callgrind_annotate", "--inclusive=no", "--threshold=100", out.path};
  annotate.timeout = std::chrono::seconds(120);
  const RunResult read = runner(annotate);
  if (read.exitStatus != 0 || !read.stdoutFile) {
    profile.error = "callgrind_annotate failed";
    return profile;
  }
  profile = parseAnnotated(read.stdoutFile->readAll());
  profile.instructions = parseCallgrindInstructions(out.text());
  if (profile.error.empty() && !profile.instructions.error.empty())
    profile.error = profile.instructions.error;
  else if (profile.error.empty() && profile.instructions.total != profile.total)
    profile.error = fmt::format("callgrind's file counts {} instructions, callgrind_annotate {}",
                                profile.instructions.total, profile.total);
  return profile;
}

Explanation explainDifference(const FunctionProfile& a, const FunctionProfile& b) {
  Explanation e;
  e.totalA = a.total;
  e.totalB = b.total;
  e.difference = static_cast<std::int64_t>(b.total) - static_cast<std::int64_t>(a.total);
  std::map<std::string, FunctionDifference> rows;
  for (const auto& [name, count] : a.self) rows[name].a = count;
  for (const auto& [name, count] : b.self) rows[name].b = count;
  for (auto& [name, row] : rows) {
    row.name = name;
    row.onlyInA = !b.self.contains(name);
    row.onlyInB = !a.self.contains(name);
    row.difference = static_cast<std::int64_t>(row.b) - static_cast<std::int64_t>(row.a);
    if (e.difference != 0)
      row.share = static_cast<double>(row.difference) / static_cast<double>(e.difference);
    e.functions.push_back(row);
  }
  std::stable_sort(e.functions.begin(), e.functions.end(),
                   [](const FunctionDifference& x, const FunctionDifference& y) {
                     return std::llabs(x.difference) > std::llabs(y.difference);
                   });
  return e;
}

void addSizes(Explanation& e, const FunctionSizes& a, const FunctionSizes& b, std::size_t most) {
  auto sizeIn = [](const FunctionSizes& sizes, const std::string& name) {
    const auto found = sizes.find(name);
    return found == sizes.end() ? std::uint64_t{0} : found->second;
  };
  for (auto& f : e.functions) {
    f.sizeA = sizeIn(a, f.name);
    f.sizeB = sizeIn(b, f.name);
  }
  std::map<std::string, SizeChange> changes;
  for (const auto& [name, size] : a) changes[name].a = size;
  for (const auto& [name, size] : b) changes[name].b = size;
  e.sizeChanges.clear();
  for (auto& [name, change] : changes) {
    change.name = name;
    change.difference = static_cast<std::int64_t>(change.b) - static_cast<std::int64_t>(change.a);
    if (change.difference != 0) e.sizeChanges.push_back(change);
  }
  std::stable_sort(e.sizeChanges.begin(), e.sizeChanges.end(),
                   [](const SizeChange& x, const SizeChange& y) {
                     return std::llabs(x.difference) > std::llabs(y.difference);
                   });
  if (e.sizeChanges.size() > most) e.sizeChanges.resize(most);
}

} // namespace bench32
