// `completion bash|zsh|fish` and `man`: the shell completion scripts and the manual page,
// written from the command table and each command's options as the parser holds them,
// so that they never fall behind the commands.
#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include "cli/command_line.hpp"
#include "cli/command_table.hpp"
#include "cli/commands.hpp"
#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "exec/words.hpp"

namespace bench32 {
namespace {

// A command's name, its one line of help, and the option words it takes ("--runs", "-n").
struct CommandWords {
  std::string name, help;
  std::vector<std::pair<std::string, std::string>> options; // word, help
};

std::vector<CommandWords> commandWords(const CLI::App& root) {
  std::vector<CommandWords> all;
  for (const CLI::App* command : root.get_subcommands({})) {
    CommandWords c{command->get_name(), command->get_description(), {}};
    for (const CLI::Option* option : command->get_options()) {
      if (option->get_group().empty()) continue; // hidden: an earlier spelling
      for (const auto& name : option->get_lnames())
        c.options.emplace_back("--" + name, option->get_description());
      for (const auto& name : option->get_snames())
        c.options.emplace_back("-" + name, option->get_description());
    }
    all.push_back(std::move(c));
  }
  return all;
}

std::string words(const CommandWords& c) {
  std::vector<std::string> w;
  for (const auto& [word, help] : c.options) w.push_back(word);
  return fmt::format("{}", fmt::join(w, " "));
}

std::string bashScript(const std::vector<CommandWords>& commands) {
  std::vector<std::string> names;
  std::string cases;
  for (const auto& c : commands) {
    names.push_back(c.name);
    cases += fmt::format("    {}) options=\"{}\" ;;\n", c.name, words(c));
  }
  return fmt::format(
      "# bash completion for bench32, written by `bench32-harness completion bash`\n"
      "_bench32() {{\n"
      "  local cur=${{COMP_WORDS[COMP_CWORD]}} commands=\"{0}\" command=\"\" options=\"\" i\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    case \" $commands \" in *\" ${{COMP_WORDS[i]}} \"*) command=${{COMP_WORDS[i]}}; "
      "break ;; esac\n"
      "  done\n"
      "  if [ -z \"$command\" ]; then\n"
      "    COMPREPLY=($(compgen -W \"$commands --source --version --help\" -- \"$cur\"))\n"
      "    return\n"
      "  fi\n"
      "  case \"$command\" in\n{1}"
      "  esac\n"
      "  if [[ \"$cur\" == -* ]]; then\n"
      "    COMPREPLY=($(compgen -W \"$options --help\" -- \"$cur\"))\n"
      "  else\n"
      "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      "  fi\n"
      "}}\n"
      "complete -o filenames -F _bench32 bench32 bench32-harness\n",
      fmt::join(names, " "), cases);
}

// Text for roff: a backslash doubled as \e, a leading period or quote kept literal, and
// hyphens as minus signs so that options can be searched for and copied.
std::string roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  if (!out.empty() && (out.front() == '.' || out.front() == '\'')) out.insert(0, "\\&");
  return out;
}

std::string fishText(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\'' ? std::string("\\'") : std::string(1, c);
  return out;
}

std::string fishScript(const std::vector<CommandWords>& commands) {
  std::string out = "# fish completion for bench32, written by `bench32-harness completion fish`\n";
  for (const char* program : {"bench32", "bench32-harness"})
    for (const auto& c : commands) {
      out += fmt::format("complete -c {} -n __fish_use_subcommand -f -a {} -d '{}'\n", program,
                         c.name, fishText(c.help));
      for (const auto& [word, help] : c.options) {
        const bool longName = word.rfind("--", 0) == 0;
        out += fmt::format("complete -c {} -n '__fish_seen_subcommand_from {}' {} {} -d '{}'\n",
                           program, c.name, longName ? "-l" : "-s", word.substr(longName ? 2 : 1),
                           fishText(help.substr(0, 80)));
      }
    }
  return out;
}

std::string manPage(const std::vector<CommandWords>& commands) {
  std::string page = fmt::format(
      ".TH BENCH32 1 \"\" \"bench32\" \"User Commands\"\n.SH NAME\nbench32 \\- {}\n"
      ".SH SYNOPSIS\n.B bench32\n.I command\n[\\fIoptions\\fR]\n.SH DESCRIPTION\n"
      "bench32 builds a suite of small deterministic benchmark programs, runs each on its "
      "workloads, verifies every run's output byte for byte, times it, and compares, "
      "records and explains the results. Every command takes \\fB\\-\\-help\\fR for its "
      "options; harness/README.md describes each in full.\n.SH COMMANDS\n",
      roff("build, run, verify, time, compare and report the benchmark suite"));
  for (const auto& c : commands) {
    page += fmt::format(".SS {}\n{}\n", roff(c.name), roff(c.help));
    for (const auto& [word, help] : c.options)
      page += fmt::format(".TP\n.B {}\n{}\n", roff(word), roff(help));
  }
  return page + ".SH EXIT STATUS\n" +
         roff("0 all went well; 1 a program failed, a gate (--fail-above) was crossed, or a "
              "bisection found nothing; 2 a mistake in the command line or in a file it names, "
              "said in one line before any work; 3 a system error; 130 or 143 interrupted "
              "(SIGINT or SIGTERM), what was measured kept.") +
         "\n";
}

} // namespace

CommandRunner addCompletionCommand(CLI::App& app) {
  auto shell = std::make_shared<std::string>();
  app.add_option("shell", *shell, "SHELL: bash, zsh or fish")->required();
  return [&app, shell](const CommandContext&) {
    const auto commands = commandWords(*app.get_parent());
    if (*shell == "bash") {
      writeStandardOutput(bashScript(commands));
    } else if (*shell == "zsh") {
      writeStandardOutput("# zsh completion for bench32: the bash one, through bashcompinit\n"
                          "autoload -U +X bashcompinit && bashcompinit\n" +
                          bashScript(commands));
    } else if (*shell == "fish") {
      writeStandardOutput(fishScript(commands));
    } else {
      throw BadInput(fmt::format("completion: unknown shell \"{}\"{}", *shell,
                                 suggestion(*shell, {"bash", "zsh", "fish"}, "")));
    }
    return exitOk;
  };
}

CommandRunner addManCommand(CLI::App& app) {
  return [&app](const CommandContext&) {
    writeStandardOutput(manPage(commandWords(*app.get_parent())));
    return exitOk;
  };
}

} // namespace bench32
