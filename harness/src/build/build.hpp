// Building the suite's programs, once per configuration, through CMake.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "exec/errors.hpp"
#include "exec/process.hpp"
#include "model/results.hpp"

namespace bench32 {

enum class BuildKind {
  preset,   // the suite's own release folder, configured with its preset when missing
  existing, // a folder the user configured: only built
  owned,    // build/cfg-NAME, configured by the harness with exactly the given compiler and flags
  pinned,   // a folder of executables run as they are, never built (an anchor)
};

struct BuildRecipe {
  ConfigInfo info;
  BuildKind kind = BuildKind::preset;
  // An owned folder's cache entries besides the compiler and flags ("-DNAME=VALUE"):
  // changing them reconfigures the folder too.
  std::vector<std::string> cacheEntries;
  bool profileGuided = false; // built with a profile of training runs (pgo.hpp)
};

// Where configurations are built: `given` (made absolute), else the source tree's build/.
std::filesystem::path buildRootOf(const std::filesystem::path& source,
                                  const std::string& given = "");

// "NAME=COMPILER:FLAGS" (flags may be empty, and may hold blanks), built in
// BUILD_ROOT/cfg-NAME. Throws BadInput.
BuildRecipe parseConfig(const std::string& text, const std::filesystem::path& buildRoot);
// "NAME=DIR": an existing build folder, given by `option` (named in the messages).
// Throws BadInput.
BuildRecipe parseExistingBuild(const std::string& text, const std::string& option = "--build");

struct BuildOptions {
  std::filesystem::path sourceDir;
  std::filesystem::path caseRunner; // handed to builds made without the tools
  int jobs = 0;                     // 0: the build tool's default
  int layouts = 0; // > 0: build <program>.layout-<k> for k < layouts instead of <program>
  const std::atomic<bool>* cancel = nullptr; // stops the build (an interrupt)
  std::function<void(const std::string&)> log;
  Runner runner = runProcess; // runs CMake, the build tool and the compiler's --version
};

// Configures when needed and builds the programs' targets. Returns the programs that
// failed to build, each with the first error line. Throws BuildError when nothing can
// be built.
std::map<std::string, std::string> buildPrograms(BuildRecipe& target,
                                                 const std::vector<std::string>& programs,
                                                 const BuildOptions& options);

// Fills in the compiler, its version and the flags of a configured build folder, and
// the linker of its code layouts when it has them.
void describeBuild(ConfigInfo& info, const Runner& runner = runProcess);

// The executable of a program's code layout k (k < 0: the program itself).
std::filesystem::path programExecutable(const ConfigInfo& info, const std::string& program,
                                        int layout = -1);

} // namespace bench32
