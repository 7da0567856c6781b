// check: what on this machine moves timings, and what to do about each.
#include <CLI/CLI.hpp>

#include "cli/command_line.hpp"
#include "cli/commands.hpp"
#include "exec/cpu_list.hpp"
#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "explain/asm.hpp"
#include "output/export/exporter.hpp"
#include "run/machine_check.hpp"

namespace bench32 {

CommandRunner addCheckCommand(CLI::App& app) {
  struct Options {
    std::string cpus, format = "text";
  };
  auto o = std::make_shared<Options>();
  app.add_option("--cpu", o->cpus,
                 "The processors the programs would run on, as for run (default: all this "
                 "process may use)");
  addFormatOption(app, o->format);
  app.footer("check exits with 1 when a check fails.\n\n" + app.get_footer());
  return [o](const CommandContext&) {
    const std::vector<int> cpus = o->cpus.empty() ? std::vector<int>() : usableCpus(o->cpus);
    const auto checks = judgeMachine(readMachineState(cpus, true));
    Document document = checkDocument(checks);
    document.sections.front().table.width = terminalWidth();
    writeStandardOutput(exporterNamed(o->format).render(document));
    return failingChecks(checks).empty() ? exitOk : exitFailed;
  };
}

} // namespace bench32
