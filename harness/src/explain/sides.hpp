// The two builds `explain` compares, each a side: a configuration or a build folder built
// now, or a results file's binary as it was measured; each profiled under callgrind, and
// what is shown of them besides the function table (disassembly, source lines).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "exec/expectation.hpp"
#include "explain/asm.hpp"
#include "explain/document.hpp"
#include "explain/profile.hpp"
#include "model/elf.hpp"
#include "model/results.hpp"
#include "model/suite.hpp"

namespace bench32 {

// What `explain` is asked to do, as plain data.
struct ExplainOptions {
  std::string program, workload = "smoke", format = "text";
  std::vector<std::string> configs, builds, files;
  std::string buildRoot;
  int jobs = 0;
  int asmFunctions = 3; // and the functions whose source lines are shown
  bool withAsm = false, lines = false;
  bool noBuild = false; // the -b and -c folders' executables as they are, nothing built
  // The two sides in command-line order: each -c, -b or results file, tagged 'c', 'b'
  // or 'r'.
  std::vector<std::pair<char, std::string>> sides;
};

// A side that did not build or whose profiled run failed: status 1, as a failed run.
struct SideFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One build of the program: what it is called, its executable, and its profile.
struct Side {
  std::string name;
  std::filesystem::path executable;
  FunctionProfile profile;
  std::vector<FunctionSymbol> symbols;
  std::optional<ConfigInfo> config; // a configuration built now (-c)
};

// The program's executable as a session measured it in configuration `config` (empty:
// its only one): the build folder must still exist and the binary there must be the one
// measured. `what` names the session in the messages. Throws BadInput.
Side measuredSide(const Results& results, const std::string& config, const std::string& program,
                  const std::string& what);
// The suite's program of that name; throws BadInput.
ProgramInfo findProgram(const std::filesystem::path& source, const std::string& name);
// Each side's executable: configurations and build folders built now, results files'
// binaries as they were measured. Throws BadInput, or SideFailed for a side that does
// not build.
std::vector<Side> explainSides(const ExplainOptions& o, const std::filesystem::path& source);
// The side's program run once under callgrind on the workload, and its functions' sizes.
void profileSide(Side& side, const ExplainOptions& o, std::shared_ptr<const Expectation> expected);
FunctionSizes sizesOf(const Side& side);
// The functions with the largest differences that either binary has code for.
std::vector<std::string> topFunctions(const Explanation& e, int count);
// The functions' disassembly on both sides, with their counts.
std::vector<std::pair<AsmListing, AsmListing>> asmListings(const std::vector<std::string>& names,
                                                           const std::vector<Side>& sides);
// Each top function's hottest source lines on each side, or why they cannot be had.
void addLineSections(Document& document, const std::vector<std::string>& names,
                     const std::vector<Side>& sides, const ExplainOptions& o,
                     const std::filesystem::path& source);

} // namespace bench32
