#include "run/counters.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "exec/files.hpp"
#include "exec/interrupt.hpp"
#include "exec/tool.hpp"
#include "run/unit.hpp"

namespace bench32 {
namespace {

// The count in a counter's report: perf's CSV line "N,,instructions:u,...", or
// callgrind's "Collected : N".
std::optional<std::uint64_t> parseCount(const std::string& counter, const std::string& report) {
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    std::size_t at = std::string::npos;
    if (counter == "perf" && line.find(",instructions") != std::string::npos) {
      at = 0;
    } else if (counter == "callgrind" && line.find("Collected") != std::string::npos) {
      at = line.find(':');
      if (at != std::string::npos) at = line.find_first_not_of(' ', at + 1);
    }
    if (at == std::string::npos || at >= line.size() ||
        !std::isdigit(static_cast<unsigned char>(line[at])))
      continue;
    try {
      return std::stoull(line.substr(at));
    } catch (const std::out_of_range&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::vector<std::string> counterPrefix(const std::string& counter, const std::string& report) {
  if (counter == "perf") return {"perf", "stat", "-x,", "-e", "instructions:u", "-o", report, "--"};
  return {"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", "--log-file=" + report};
}

} // namespace

std::string instructionCounter(const Runner& runner) {
  for (const std::string counter : {"perf", "callgrind"}) {
    TemporaryFile report;
    RunRequest request;
    request.argv = counterPrefix(counter, report.path);
    request.argv.push_back("true");
    request.timeout = std::chrono::seconds(60);
    const RunResult run = runner(request);
    if (run.exitStatus == 0 && parseCount(counter, report.text())) return counter;
  }
  return {};
}

InstructionCount countInstructions(const Runner& runner, const std::string& counter,
                                   const PlannedUnit& unit, const RunSettings& settings) {
  InstructionCount result;
  TemporaryFile report;
  RunRequest request = programRequest(unit, settings);
  auto prefix = counterPrefix(counter, report.path);
  request.argv.insert(request.argv.begin(), prefix.begin(), prefix.end());
  // The file-size limit holds for the counter's report too.
  request.fileRoom = prefixFileRoom;
  if (counter == "callgrind") request.timeout *= callgrindSlowdown;
  const RunResult run = runner(request);
  const Verdict verdict = verify(*unit.expected, run);
  if (!verdict.ok) {
    result.error = verdict.detail;
    return result;
  }
  const auto count = parseCount(counter, report.text());
  if (!count) {
    result.error = "no count in the counter's report";
    return result;
  }
  result.count = *count;
  result.source = counter;
  return result;
}

bool countAllInstructions(const Measuring& m) {
  const std::string counter = instructionCounter(m.runner);
  if (counter.empty()) {
    m.note("instruction counts skipped: neither perf nor valgrind works here");
    return true;
  }
  for (const auto& u : m.units) {
    UnitResult& r = m.result(u);
    if (!r.ok()) continue;
    m.progress(fmt::format("counting instructions ({}): {}", counter, m.label(u)));
    const InstructionCount count = countInstructions(m.runner, counter, u, m.settings);
    if (interruptFlag()) return false;
    if (!count.error.empty()) {
      m.note(fmt::format("no instruction count for {}: {}", m.label(u), count.error));
      continue;
    }
    r.instructions = count.count;
    r.instructionsSource = count.source;
  }
  m.checkpoint();
  return true;
}

} // namespace bench32
