// Measuring a program's compile and link (run --compile-runs). The commands are the
// build's own: each translation unit's from the folder's compile_commands.json, the
// link from ninja. They are run again by the spawner, writing into a scratch folder so
// the build itself stays as it is, in rounds interleaved across configurations. The
// objects compiled are linked with the build's link command and the executable must be
// byte for byte the built one: the compile measured is the compile that made the binary.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "measure/collector.hpp"
#include "model/results.hpp"

namespace bench32 {

// One command of a build: its words (no shell) and the folder it runs in.
struct BuildCommand {
  std::vector<std::string> argv;
  std::filesystem::path directory;
};

// Splits a command line into words as a POSIX shell does: blanks separate them; single
// quotes, double quotes (in which a backslash escapes " \ $ ` and newline) and a
// backslash quote. Shell operators stay words of their own. Throws BadInput for an
// unterminated quote.
std::vector<std::string> shellWords(const std::string& command);

// The caching launcher (ccache, sccache) at the head of a command, by its name or as
// the link that the compiler's path resolves to, or empty. `path` is the search path
// for a command given by name.
std::string cachingLauncher(const std::vector<std::string>& argv, const std::string& path);

// The command without its caching launcher, so that it runs the real compiler: a
// launcher word is dropped; a compiler that is a link to a launcher is replaced by the
// first program of the same name on `path` that is not one. Throws BadInput (one line)
// when there is no real compiler to run.
std::vector<std::string> withoutLauncher(std::vector<std::string> argv, const std::string& path);

// How to compile and link one program again, reading the build's sources and archives
// and writing only into the scratch folder.
struct CompileJob {
  std::vector<BuildCommand> compiles;
  std::vector<std::filesystem::path> objects; // each compile's output, in the scratch folder
  BuildCommand link;
  std::filesystem::path executable; // the link's output, in the scratch folder
  std::string launcher;             // a caching launcher that was left out, if any
};

// The job that rebuilds `executable` of the Ninja build folder `buildDir` into
// `scratch`. Throws BadInput with one line saying why it cannot be measured.
CompileJob planCompile(const std::filesystem::path& buildDir,
                       const std::filesystem::path& executable,
                       const std::filesystem::path& scratch, const std::string& path);

// One round of a job: its compiles' wall time summed, their user and system time, the
// largest peak RSS, the link's wall time; or why the round does not count.
struct CompileRound {
  double wall = 0;
  double cpu = 0;
  double rssKiB = 0;
  double link = 0;
  std::string error; // one line; set when the round does not count
  bool cancelled = false;
};

// Runs every command of the job once. The executable linked must have the digest
// `expectedXxh3` (the built one's), else the round does not count.
CompileRound compileOnce(const CompileJob& job, const std::string& expectedXxh3, double timeout,
                         const std::atomic<bool>* cancel);

// The compile-time collector: settings.compileRuns rounds of compiles of every program
// built in every configuration, one program's configurations side by side and the order
// reversed every other round, as runs are; fills in the compile of each of the program's
// units. Each command may take the longer of the run timeout and ten minutes. Returns
// false when interrupted.
bool measureCompiles(const Measuring& measuring);

} // namespace bench32
