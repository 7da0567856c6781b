#include "exec/tool.hpp"

#include <unistd.h>

#include <cstdlib>

#include <fmt/format.h>

namespace bench32 {
namespace fs = std::filesystem;

RunResult runTool(const Runner& runner, const std::vector<std::string>& argv,
                  const ToolOptions& options) {
  RunRequest request;
  request.argv = argv;
  request.workingDirectory = options.cwd.string();
  request.timeout = options.timeout;
  request.cancel = options.cancel;
  request.stderrLimit = 1 << 20;
  return runner(request);
}

bool succeeded(const RunResult& run) {
  return run.startError.empty() && !run.timedOut && !run.cancelled && run.signal == 0 &&
         run.exitStatus == 0;
}

std::string failureLine(const RunResult& run) {
  if (!run.startError.empty()) return run.startError;
  if (run.cancelled) return "interrupted";
  if (run.timedOut) return "timed out";
  if (run.signal != 0) return fmt::format("killed by signal {}", run.signal);
  return firstErrorLine(run.stdoutText() + "\n" + run.stderrBytes);
}

std::string firstErrorLine(const std::string& output) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < output.size();) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    line.erase(0, line.find_first_not_of(" \t"));
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  // A compiler's "error:" says most; CMake's summary lines least.
  for (const char* marker : {"error:", "Error", "error"})
    for (const auto& line : lines)
      if (line.find(marker) != std::string::npos) return line;
  return lines.empty() ? "failed without a message" : lines.back();
}

std::string versionText(const Runner& runner, const std::string& command) {
  const RunResult run =
      runTool(runner, {command, "--version"}, {std::chrono::seconds(30), {}, nullptr});
  return succeeded(run) ? run.stdoutText() : std::string();
}

std::string versionLine(const Runner& runner, const std::string& command) {
  const std::string text = versionText(runner, command);
  return text.substr(0, text.find('\n'));
}

std::string searchPath() {
  const char* path = std::getenv("PATH");
  return path ? path : "/usr/bin:/bin";
}

std::vector<fs::path> allOnPath(const std::string& name, const std::string& path) {
  if (name.find('/') != std::string::npos)
    return access(name.c_str(), X_OK) == 0 ? std::vector<fs::path>{name} : std::vector<fs::path>{};
  std::vector<fs::path> found;
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    const fs::path candidate =
        fs::path(end > start ? path.substr(start, end - start) : std::string(".")) / name;
    if (access(candidate.c_str(), X_OK) == 0) found.push_back(candidate);
    start = end + 1;
  }
  return found;
}

fs::path findOnPath(const std::string& name, const std::string& path) {
  const auto found = allOnPath(name, path);
  return found.empty() ? fs::path() : found.front();
}

} // namespace bench32
