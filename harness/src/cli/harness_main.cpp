// bench32-harness: lists, builds, runs, verifies, times, compares and reports the suite.
// The ./bench32 script forwards its commands here; see harness/README.md. This file
// only sets up the command line from the command table (command_table.cpp); each
// command's file adds its options and says what runs it.
#include <cstdio>
#include <optional>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/command_table.hpp"
#include "cli/option_values.hpp"
#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "exec/interrupt.hpp"
#include "exec/spawner.hpp"
#include "exec/words.hpp"

#ifndef BENCH32_SOURCE_DIR
#define BENCH32_SOURCE_DIR "."
#endif
#ifndef BENCH32_VERSION
#define BENCH32_VERSION "unknown"
#endif

namespace fs = std::filesystem;
using namespace bench32;

namespace {

// The first word that is not an option (or an option's value) must be a command.
void checkCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--source") {
      ++i;
      continue;
    }
    if (word.rfind("-", 0) == 0) continue;
    std::vector<std::string> known;
    for (const Command& c : commandTable()) {
      if (word == c.name) return;
      known.push_back(c.name);
    }
    throw BadInput(fmt::format("unknown command \"{}\" (commands: {})", word, joinNames(known)));
  }
}

// Parses the command line; a status when the harness should exit at once (help, version,
// or a command line it cannot read).
std::optional<int> parse(CLI::App& app, int argc, char** argv) {
  try {
    checkCommand(argc, argv);
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    fmt::print(stderr, "bench32: {}\n", e.what());
    return exitBadInput;
  } catch (const BadInput& e) {
    fmt::print(stderr, "bench32: {}\n", e.what());
    return exitBadInput;
  }
  return std::nullopt;
}

// The command's status, once standard output is known to hold all that was printed.
int withStandardOutputClosed(int status) {
  try {
    closeStandardOutput();
  } catch (const WriteError& e) {
    fmt::print(stderr, "bench32: {}\n", e.what());
    return status == exitOk || status == exitFailed ? exitSystemError : status;
  }
  return status;
}

int runHarness(int argc, char** argv) {
  CLI::App app{"bench32: build, run, verify, time, compare and report the benchmark suite",
               "bench32"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "bench32 " BENCH32_VERSION);
  app.footer("Through ./bench32 also: test [PRESET...] (build and run every test), setup "
             "(install what is missing). See harness/README.md.");
  std::string source = BENCH32_SOURCE_DIR;
  app.add_option("--source", source, "The suite's source tree")
      ->capture_default_str()
      ->check(nonEmptyPath);
  std::vector<std::pair<CLI::App*, CommandRunner>> commands;
  for (const Command& c : commandTable()) {
    CLI::App* command = app.add_subcommand(c.name, c.description);
    commands.emplace_back(command, c.add(*command));
  }
  if (auto status = parse(app, argc, argv)) return *status;
  try {
    const CommandContext context{fs::absolute(source), {argv, argv + argc}};
    for (const auto& [command, runner] : commands)
      if (app.got_subcommand(command)) return runner(context);
  } catch (const std::exception& e) {
    fmt::print(stderr, "bench32: {}\n", e.what());
    return interruptFlag() ? interruptedStatus() : exitStatusFor(e);
  }
  return exitBadInput;
}

} // namespace

int main(int argc, char** argv) {
  openStandardDescriptors();
  startSpawner();
  // After the spawner, which (when it is a fork of this process) keeps the default.
  installInterruptHandler();
  return withStandardOutputClosed(runHarness(argc, argv));
}
