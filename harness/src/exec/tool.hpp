// Running the tools the harness drives (compilers, CMake, ninja, profilers, git): one
// call through a runner (runProcess, or a stand-in in tests), and one reading of how it
// went. Where tools are found: on the search path, or beside this executable.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "exec/process.hpp"

namespace bench32 {

struct ToolOptions {
  std::chrono::duration<double> timeout = std::chrono::minutes(10);
  std::filesystem::path cwd;                 // empty: the harness's own
  const std::atomic<bool>* cancel = nullptr; // kills the tool's process group when set
};

// Runs argv with a megabyte of standard error kept (a build's errors).
RunResult runTool(const Runner& runner, const std::vector<std::string>& argv,
                  const ToolOptions& options = {});
// The tool exited 0, by itself, in time.
bool succeeded(const RunResult& run);
// Why a tool failed, in one line: it could not start, timed out, was killed, or the first
// line of its output that names an error.
std::string failureLine(const RunResult& run);
// The first line of build output that names an error, else its last line.
std::string firstErrorLine(const std::string& output);
// The whole standard output of "COMMAND --version", or empty when it does not run.
std::string versionText(const Runner& runner, const std::string& command);
// Its first line.
std::string versionLine(const Runner& runner, const std::string& command);

// The search path of this process (PATH, else /usr/bin:/bin).
std::string searchPath();
// Every executable of that name on `path`, in order, an empty entry being "." as in a
// shell; a name with a slash is itself when it is executable.
std::vector<std::filesystem::path> allOnPath(const std::string& name,
                                             const std::string& path = searchPath());
// The first of them, or empty.
std::filesystem::path findOnPath(const std::string& name, const std::string& path = searchPath());

// How much longer a program takes under callgrind than alone, at the most: the timeout
// of a run under it is multiplied by this.
inline constexpr double callgrindSlowdown = 100;

} // namespace bench32
