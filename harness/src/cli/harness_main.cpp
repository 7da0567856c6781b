// bench32-harness: lists, builds, runs, verifies, times, compares and reports the suite.
// The ./bench32 script forwards its commands here; see harness/README.md. This file
// only sets up the command line from the command table (command_table.cpp); each
// command's file adds its options and says what runs it.
#include <cstdio>
#include <cstdlib>
#include <optional>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/command_line.hpp"
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
    throw BadInput(
        fmt::format("unknown command \"{}\"{}", word, suggestion(word, known, "commands")));
  }
}

// The command that the parse reached: the one whose words were not expected.
const CLI::App& parsedCommand(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands())
    if (sub->parsed()) return *sub;
  return app;
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
  } catch (const CLI::ExtrasError&) {
    const CLI::App& command = parsedCommand(app);
    std::vector<std::string> words = command.remaining();
    if (words.empty()) words = app.remaining();
    fmt::print(stderr, "bench32: {}\n", unexpectedWords(command, words));
    return exitBadInput;
  } catch (const CLI::ParseError& e) {
    std::string last;
    for (int i = 1; i < argc; ++i)
      if (argv[i][0] == '-') last = std::string(argv[i]).substr(0, std::string(argv[i]).find('='));
    fmt::print(stderr, "bench32: {}\n", parseErrorLine(e.what(), last));
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

// The name the usage lines give: "bench32" when started by the ./bench32 script (which
// says so in BENCH32_SCRIPT), else the name this executable was called by.
std::string calledAs(int argc, char** argv) {
  if (const char* script = std::getenv("BENCH32_SCRIPT"); script && *script)
    return fs::path(script).filename().string();
  return argc > 0 && *argv[0] ? fs::path(argv[0]).filename().string() : "bench32-harness";
}

constexpr const char* exitStatuses =
    "Exit status: 0 all went well; 1 a program failed, or a gate (--fail-above) was "
    "crossed; 2 a mistake in the command line or in a file it names, said in one line "
    "before any work; 3 a system error (a file that cannot be written, a tool that "
    "fails); 130 or 143 interrupted (SIGINT or SIGTERM), what was measured kept.";

int runHarness(int argc, char** argv) {
  const bool throughScript = std::getenv("BENCH32_SCRIPT") != nullptr;
  CLI::App app{"bench32: build, run, verify, time, compare and report the benchmark suite",
               calledAs(argc, argv)};
  app.require_subcommand(1);
  app.set_version_flag("--version", "bench32 " BENCH32_VERSION);
  // Each command's help ends with the parent's footer: the script's own commands are
  // named only where the script is what was run.
  app.footer(std::string(exitStatuses) +
             (throughScript ? "\n\nThrough ./bench32 also: test [PRESET...] (build and run "
                              "every test), setup (install what is missing). See "
                              "harness/README.md."
                            : "\n\nSee harness/README.md."));
  std::string source = BENCH32_SOURCE_DIR;
  app.add_option("--source", source,
                 "The suite's source tree (default: the source tree this harness was built "
                 "from)")
      ->check(nonEmptyPath);
  std::vector<std::pair<CLI::App*, CommandRunner>> commands;
  for (const Command& c : commandTable()) {
    CLI::App* command = app.add_subcommand(c.name, c.description);
    commands.emplace_back(command, c.add(*command));
  }
  namePlaceholders(app);
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
