// bench32-case: runs one program on one case or workload and checks the result.
//
//   bench32-case [--run-under PREFIX] [--cpu LIST] PROGRAM FILE.json NAME
//   bench32-case --describe PROGRAM FILE.json NAME   (prints what the program did, as a
//                                                    JSON entry, for writing new cases)
//
// FILE.json is a program's cases.json or workloads.json. Exit status 0 when the run
// matches, 1 when it does not (with one line saying how), 2 for bad usage or input.
// A program is stopped once it writes more than the entry's expected output; with
// --describe, where the output is what is asked for, once it writes more than 1 GiB.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli/option_values.hpp"
#include "exec/expectation.hpp"
#include "exec/files.hpp"
#include "exec/process.hpp"
#include "exec/words.hpp"

namespace {

constexpr std::uint64_t describeLimit = std::uint64_t{1} << 30;

// The entry named in a program's cases.json or workloads.json; none when there is none.
std::optional<bench32::Expectation> entryNamed(const std::string& file, const std::string& name) {
  if (std::filesystem::path(file).filename() == "workloads.json") {
    auto workloads = bench32::loadWorkloads(file);
    if (auto it = workloads.find(name); it != workloads.end()) return it->second;
    return std::nullopt;
  }
  for (auto& c : bench32::loadCases(file))
    if (c.name == name) return c;
  return std::nullopt;
}

// What the program did, as an entry to paste into a cases.json or workloads.json.
int describeRun(const bench32::RunResult& run, const std::string& program,
                const std::string& name) {
  if (run.stdoutOverflow) {
    fmt::print(stderr,
               "bench32-case: {} wrote more than {} bytes (1 GiB, the most --describe "
               "keeps) and was stopped\n",
               program, describeLimit);
    return 1;
  }
  nlohmann::json entry{{"name", name}};
  if (run.stdoutSize() <= 64 * 1024) {
    entry["stdout"] = run.stdoutText();
  } else {
    entry["stdout_xxh3"] = bench32::digestHex(bench32::digest(*run.stdoutFile));
    entry["stdout_size"] = run.stdoutSize();
  }
  if (run.signal)
    entry["signal"] = bench32::signalName(run.signal);
  else
    entry["status"] = run.exitStatus;
  bench32::writeStandardOutput(entry.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
                               "\n");
  if (!run.stderrBytes.empty()) fmt::print(stderr, "stderr: {}", run.stderrBytes);
  fmt::print(stderr, "wall {:.3f} s\n", run.wallSeconds);
  return 0;
}

int runCase(const std::string& program, const std::string& file, const std::string& name,
            const std::string& runUnder, const std::string& cpus, double timeout, bool describe) {
  try {
    const auto expected = entryNamed(file, name);
    if (!expected) {
      fmt::print(stderr, "bench32-case: {}: no entry named \"{}\"\n", file, name);
      return 2;
    }

    bench32::RunConditions conditions{bench32::shellWords(runUnder), timeout, {}};
    if (!cpus.empty()) conditions.cpus = bench32::usableCpus(cpus);
    bench32::RunRequest request = bench32::programRequest(program, *expected, {}, conditions);
    if (describe) request.stdoutLimit = describeLimit;
    const bench32::RunResult run = bench32::runProcess(request);

    if (describe) return describeRun(run, program, name);
    const bench32::Verdict verdict = bench32::verify(*expected, run);
    if (!verdict.ok) {
      bench32::writeStandardOutput(fmt::format("{} / {}: {}\n", program, name, verdict.detail));
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    fmt::print(stderr, "bench32-case: {}\n", e.what());
    return bench32::exitStatusFor(e);
  }
}

} // namespace

int main(int argc, char** argv) {
  bench32::openStandardDescriptors();
  CLI::App app{"Runs one bench32 program on one case or workload and checks its output"};
  std::string runUnder, cpus, program, file, name;
  double timeout = 300;
  bool describe = false;
  app.add_option("--run-under", runUnder, "Command prefix to run the program under (an emulator)");
  bench32::addNumberOption(app, "--timeout", timeout,
                           "Seconds before the program's process group is killed");
  app.add_option("--cpu", cpus, "Run the program on these processors only (0, 0,2 or 1-3)");
  app.add_flag("--describe", describe,
               "Print the run's output as a JSON entry instead of checking");
  app.add_option("program", program, "The program's executable")
      ->required()
      ->check(bench32::nonEmptyPath);
  app.add_option("file", file, "cases.json or workloads.json")
      ->required()
      ->check(bench32::nonEmptyPath);
  app.add_option("name", name, "The case or workload")->required();
  try {
    app.parse(argc, argv);
    if (!(timeout >= 0.001 && timeout <= 1e6))
      throw bench32::BadInput("--timeout must be between 0.001 and 1000000");
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e); // --help
    fmt::print(stderr, "bench32-case: {}\n", e.what());
    return bench32::exitBadInput;
  } catch (const bench32::BadInput& e) {
    fmt::print(stderr, "bench32-case: {}\n", e.what());
    return bench32::exitBadInput;
  }
  const int status = runCase(program, file, name, runUnder, cpus, timeout, describe);
  try {
    bench32::closeStandardOutput();
  } catch (const bench32::WriteError& e) {
    fmt::print(stderr, "bench32-case: {}\n", e.what());
    return bench32::exitSystemError;
  }
  return status;
}
