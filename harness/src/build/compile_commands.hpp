// A built program's compile and link commands, as the build ran them: each translation
// unit's from the folder's compile_commands.json, the link from ninja, rewritten to
// write into a scratch folder so that running them again leaves the build as it is
// (run/compile_timing.hpp times them).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "exec/process.hpp"

namespace bench32 {

// One command of a build: its words (no shell) and the folder it runs in.
struct BuildCommand {
  std::vector<std::string> argv;
  std::filesystem::path directory;
};

// The caching launcher (ccache, sccache) at the head of a command, by its name or as
// the link that the compiler's path resolves to, or empty. `path` is the search path
// for a command given by name.
std::string cachingLauncher(const std::vector<std::string>& argv, const std::string& path);

// The command without its caching launcher, so that it runs the real compiler: a
// launcher word is dropped; a compiler that is a link to a launcher is replaced by the
// first program of the same name on `path` that is not one. Throws BadInput (one line)
// when there is no real compiler to run.
std::vector<std::string> withoutLauncher(std::vector<std::string> argv, const std::string& path);

// The source a compile command reads: the word after -c, else its last word.
std::string compiledSource(const std::vector<std::string>& argv);

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
                       const std::filesystem::path& scratch, const std::string& path,
                       const Runner& runner = runProcess);

} // namespace bench32
