#include "exec/timer_report.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>

#include <fmt/format.h>

namespace bench32 {
namespace {

constexpr std::string_view reportStart = "bench32-timer 1 ";

// The line's key=value fields; error= is last and takes the rest of the line.
std::optional<std::map<std::string, std::string, std::less<>>> fields(std::string_view line) {
  std::map<std::string, std::string, std::less<>> found;
  while (!line.empty()) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, equals);
    line.remove_prefix(equals + 1);
    const std::size_t blank = key == "error" ? std::string_view::npos : line.find(' ');
    found.emplace(key, line.substr(0, blank));
    line.remove_prefix(blank == std::string_view::npos ? line.size() : blank + 1);
  }
  return found;
}

template <typename T>
bool number(std::string_view text, T& value, int base = 10) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// A time: finite and not negative (from_chars alone takes "nan", "inf" and "-1").
bool number(std::string_view text, double& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty() &&
         std::isfinite(value) && value >= 0;
}

// The ending, times and limits from the fields into run; false when one is missing or
// not a number.
bool readFields(const std::map<std::string, std::string, std::less<>>& f, RunResult& run,
                OutputDigest& output, bool& included) {
  const auto get = [&](const char* key) -> std::string_view {
    const auto it = f.find(key);
    return it == f.end() ? std::string_view() : std::string_view(it->second);
  };
  int timedOut = 0, overflow = 0, inc = 0;
  const bool ok =
      number(get("exit"), run.exitStatus) && number(get("signal"), run.signal) &&
      number(get("timed_out"), timedOut) && number(get("overflow"), overflow) &&
      number(get("wall_s"), run.wallSeconds) && number(get("user_s"), run.userSeconds) &&
      number(get("sys_s"), run.systemSeconds) && number(get("max_rss_kib"), run.maxRssKiB) &&
      number(get("stdout_size"), output.size) && number(get("stdout_xxh3"), output.xxh3, 16) &&
      number(get("included"), inc) && number(get("file_size_limit"), run.fileSizeLimit) &&
      run.maxRssKiB >= 0 && f.count("error") == 1;
  run.timedOut = timedOut != 0;
  run.stdoutOverflow = overflow != 0;
  included = inc != 0;
  if (ok) run.startError = f.find("error")->second;
  return ok;
}

} // namespace

std::vector<std::string> timerCommand(const std::string& timer, const RunRequest& request,
                                      const std::string& inputPath) {
  std::vector<std::string> command{timer, "--timeout", fmt::format("{}", request.timeout.count()),
                                   "--input", inputPath};
  if (!request.cpus.empty()) command.insert(command.end(), {"--cpu", cpuListText(request.cpus)});
  if (request.stdoutLimit)
    command.insert(command.end(), {"--stdout-limit", std::to_string(*request.stdoutLimit),
                                   "--file-room", std::to_string(request.fileRoom)});
  command.push_back("--");
  command.insert(command.end(), request.argv.begin(), request.argv.end());
  return command;
}

std::optional<RunResult> parseTimerReport(std::string_view report, std::string& why) {
  const std::size_t newline = report.find('\n');
  if (report.empty()) {
    why = "no report from the timer";
    return std::nullopt;
  }
  if (!report.starts_with(reportStart) || newline == std::string_view::npos) {
    why = "the timer's report is garbled";
    return std::nullopt;
  }
  const auto found = fields(report.substr(reportStart.size(), newline - reportStart.size()));
  RunResult run;
  OutputDigest output;
  bool included = false;
  if (!found || !readFields(*found, run, output, included)) {
    why = "the timer's report is garbled";
    return std::nullopt;
  }
  const std::string_view bytes = report.substr(newline + 1);
  if (included && bytes.size() != output.size) {
    why = fmt::format("the timer's report holds {} bytes of output where it names {}", bytes.size(),
                      output.size);
    return std::nullopt;
  }
  if (included) {
    auto file = std::make_shared<MemoryFile>("bench32-output");
    file->append(bytes);
    run.stdoutFile = file;
  } else {
    run.stdoutDigest = output;
  }
  return run;
}

} // namespace bench32
