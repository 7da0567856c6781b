#include "cli/command_table.hpp"

#include "cli/commands.hpp"

namespace bench32 {

const std::vector<Command>& commandTable() {
  static const std::vector<Command> table{
      {"list", "List the programs and their workloads", addListCommand},
      {"run", "Build, run, verify and time the programs", addRunCommand},
      {"compare", "Compare configurations of one or more results files against a baseline",
       addCompareCommand},
      {"score", "One number per machine and configuration: speed against a reference machine",
       addScoreCommand},
      {"report", "Write a self-contained HTML report", addReportCommand},
      {"show", "Print the table of a results file", addShowCommand},
      {"history", "Each program's median per revision, with significant changes flagged",
       addHistoryCommand},
      {"triage", "Mark the changes of a revision: fixed, accepted, a false positive, or open again",
       addTriageCommand},
      {"import", "Load results files into a database", addImportCommand},
      {"export", "Write a session (or a results file) as a file", addExportCommand},
      {"explain", "Where two builds of a program differ in instructions, per function",
       addExplainCommand},
      {"bisect",
       "The first revision of a compiler that changes the suite, or with --passes the pass "
       "run of one build",
       addBisectCommand},
      {"serve", "The results database as live pages and JSON: history, any two points, triage",
       addServeCommand},
      {"check",
       "What on this machine moves timings (governor, turbo, ASLR, SMT, load, "
       "waiting), and what to do about each",
       addCheckCommand},
      {"completion", "A shell completion script for bash, zsh or fish", addCompletionCommand},
      {"man", "The manual page, in roff (man -l)", addManCommand},
  };
  return table;
}

} // namespace bench32
