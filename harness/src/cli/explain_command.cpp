// `explain`'s options (pipeline/explain_session.hpp runs it): where two builds of one
// program differ in instructions, per function.
#include <CLI/CLI.hpp>

#include "cli/command_line.hpp"
#include "cli/commands.hpp"
#include "cli/option_values.hpp"
#include "exec/errors.hpp"
#include "pipeline/explain_session.hpp"

namespace bench32 {
namespace fs = std::filesystem;
CommandRunner addExplainCommand(CLI::App& app) {
  auto o = std::make_shared<ExplainOptions>();
  CLI::Option* program = app.add_option("-p,--program", o->program, "The program");
  // run and the others spell it --programs: either is taken.
  CLI::Option* programs = app.add_option("--programs", o->program)->group("");
  app.add_option("-w,--workload", o->workload, "Its workload")->capture_default_str();
  // One value per -c or -b, so that their order on the command line can be recovered.
  CLI::Option* config =
      app.add_option("-c,--config", o->configs, "A configuration NAME=COMPILER:FLAGS (two in all)")
          ->allow_extra_args(false);
  CLI::Option* build = app.add_option("-b,--build", o->builds, "An existing build folder NAME=DIR")
                           ->allow_extra_args(false);
  CLI::Option* files = app.add_option("results", o->files,
                                      "Results files (FILE or FILE:CONFIG) whose build folders "
                                      "still hold the measured binaries")
                           ->check(nonEmptyPath);
  app.add_option("--build-root", o->buildRoot, "Where configurations are built (default: build/)")
      ->check(nonEmptyPath);
  app.add_option("-j,--jobs", o->jobs, "Build jobs");
  CLI::Option* withAsm =
      app.add_option("--asm", o->asmFunctions,
                     "Disassembly with execution counts of the K functions that differ most "
                     "(K default 3)")
          ->expected(0, 1)
          ->default_str("3")
          ->option_text("[K]");
  app.add_flag("--lines", o->lines,
               "The hottest source lines of those functions, from a -g build of each -c "
               "configuration whose code is the same as the measured one");
  addFormatOption(app, o->format);
  app.add_flag("--no-build", o->noBuild, "Take the -b folders as they are built; build nothing");
  return
      [o, &app, config, build, files, withAsm, program, programs](const CommandContext& context) {
        if (program->count() + programs->count() == 0) throw BadInput("--program is required");
        std::size_t c = 0, b = 0, f = 0;
        for (const CLI::Option* option : app.parse_order()) {
          if (option == config && c < o->configs.size())
            o->sides.emplace_back('c', o->configs[c++]);
          if (option == build && b < o->builds.size()) o->sides.emplace_back('b', o->builds[b++]);
          if (option == files && f < o->files.size()) o->sides.emplace_back('r', o->files[f++]);
        }
        o->withAsm = withAsm->count() > 0;
        return explainSession(*o, context.source);
      };
}

} // namespace bench32
