#include "exec/remote.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/expectation.hpp"
#include "exec/files.hpp"
#include "exec/timer_report.hpp"
#include "exec/tool.hpp"
#include "exec/words.hpp"

namespace bench32 {
namespace fs = std::filesystem;
namespace {

std::string firstLine(const std::string& text) {
  const std::size_t start = text.find_first_not_of("\r\n");
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_first_of("\r\n", start) - start);
}

std::string joinQuoted(const std::vector<std::string>& words) {
  std::string line;
  for (const auto& word : words) line += (line.empty() ? "" : " ") + shellQuote(word);
  return line;
}

// "HASH  NAME" lines of sha256sum, by name.
std::map<std::string, std::string> sums(const std::string& text) {
  std::map<std::string, std::string> byName;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (const std::size_t blank = line.find("  "); blank != std::string::npos)
      byName[line.substr(blank + 2)] = line.substr(0, blank);
  return byName;
}

// The cross preset whose timer runs on a target of this kind, or "".
std::string presetFor(const std::string& machine) {
  if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") return "i386";
  if (machine.starts_with("arm")) return "armhf";
  return "";
}

} // namespace

std::string shellQuote(const std::string& word) {
  if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789_-./=:,+@%") == std::string::npos)
    return word;
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

RemoteHost parseRemote(const std::string& where, const std::string& sshCommand) {
  RemoteHost host;
  const std::size_t colon = where.find(':');
  host.address = where.substr(0, colon);
  host.dir = colon == std::string::npos ? "" : where.substr(colon + 1);
  if (host.dir.empty()) host.dir = defaultRemoteDir;
  host.ssh = shellWords(sshCommand);
  if (host.address.empty() || host.address.back() == '@')
    throw BadInput(fmt::format("--remote {}: no host (the form is [USER@]HOST[:DIR])", where));
  if (host.ssh.empty()) throw BadInput("--ssh: no command given");
  return host;
}

RunResult overSsh(const RemoteHost& host, const std::string& command,
                  std::shared_ptr<const MemoryFile> input, double timeout,
                  const std::atomic<bool>* cancel) {
  RunRequest request;
  request.argv = host.ssh;
  request.argv.insert(request.argv.end(), {host.address, command});
  request.inputFile = std::move(input);
  request.timeout = std::chrono::duration<double>(timeout);
  request.cancel = cancel;
  // A report is a line and at most 64 KiB of output; this bounds what a broken target
  // can make the harness keep.
  request.stdoutLimit = 16 << 20;
  return runProcess(request);
}

std::map<std::string, std::string> describeHost(const RemoteHost& host) {
  const std::string command =
      "printf 'machine=%s\\nkernel=%s\\ncores=%s\\nhost=%s\\n' \"$(uname -m)\" \"$(uname -srm)\" "
      "\"$(getconf _NPROCESSORS_ONLN)\" \"$(uname -n)\"; grep -m1 -E "
      "'^(model name|Hardware|cpu model|Processor)' /proc/cpuinfo | sed "
      "'s/^[^:]*:[[:space:]]*/cpu=/'";
  const RunResult run = overSsh(host, command);
  if (!run.startError.empty())
    throw BadInput(fmt::format("--ssh: cannot run {}: {}", host.ssh.front(), run.startError));
  if (run.exitStatus != 0)
    throw BadInput(fmt::format(
        "cannot reach {}: {}", host.address,
        firstLine(run.stderrBytes + "\nssh exited with " + std::to_string(run.exitStatus))));
  std::map<std::string, std::string> described;
  std::istringstream lines(run.stdoutText());
  for (std::string line; std::getline(lines, line);)
    if (const std::size_t equals = line.find('='); equals != std::string::npos)
      described[line.substr(0, equals)] = line.substr(equals + 1);
  if (described["machine"].empty())
    throw BadInput(fmt::format("{} did not say what machine it is (uname -m)", host.address));
  return described;
}

fs::path timerFor(const std::string& machine, const fs::path& source) {
  utsname names{};
  if (uname(&names) == 0 && machine == names.machine) {
    const fs::path sibling = besideSelf("bench32-timer");
    if (access(sibling.c_str(), X_OK) == 0) return sibling;
  }
  const std::string preset = presetFor(machine);
  if (preset.empty())
    throw BadInput(fmt::format("no bench32-timer is built for a {} target here", machine));
  const fs::path timer = source / "build" / preset / "bin" / "bench32-timer";
  if (access(timer.c_str(), X_OK) != 0)
    throw BadInput(fmt::format("no bench32-timer for the {} target at {}: build it with "
                               "'cmake --preset {} && cmake --build build/{} --target "
                               "bench32-timer'",
                               machine, timer.string(), preset, preset));
  return timer;
}

void RemoteStaging::addTimer(const fs::path& timer) {
  timer_ = "bench32-timer";
  files_[timer_] = timer;
}

void RemoteStaging::addExecutable(const std::string& config, const fs::path& executable) {
  const std::string there = "bin/" + config + "/" + executable.filename().string();
  files_[there] = executable;
  executables_[executable.string()] = there;
}

void RemoteStaging::addInput(const MemoryFile& input) {
  const std::string hex = digestHex(digest(input));
  inputs_[hex] = "inputs/" + hex;
  staged_[inputs_[hex]] = input.readAll();
}

namespace {

// Every file in one folder here, at its place there.
void stage(const fs::path& folder, const std::map<std::string, fs::path>& files,
           const std::map<std::string, std::string>& staged) {
  for (const auto& [there, here] : files) {
    fs::create_directories((folder / there).parent_path());
    fs::copy_file(here, folder / there);
  }
  for (const auto& [there, bytes] : staged) {
    fs::create_directories((folder / there).parent_path());
    std::ofstream out(folder / there, std::ios::binary);
    out << bytes;
    if (!out.flush()) throw std::runtime_error("cannot stage " + there + " in /tmp");
  }
}

RunResult runHere(std::vector<std::string> argv, const fs::path& folder) {
  RunRequest request;
  request.argv = std::move(argv);
  request.workingDirectory = folder.string();
  request.timeout = std::chrono::duration<double>(300);
  return runProcess(request);
}

} // namespace

void RemoteStaging::copyAndCheck() const {
  const TemporaryFolder folder("remote");
  stage(folder.path, files_, staged_);
  const RunResult tar = runHere({"tar", "-cf", "-", "."}, folder.path);
  if (tar.exitStatus != 0) throw std::runtime_error("tar failed: " + firstLine(tar.stderrBytes));
  const std::string dir = shellQuote(host_.dir);
  const RunResult copied =
      overSsh(host_, fmt::format("mkdir -p {0} && tar -C {0} -xf -", dir), tar.stdoutFile, 600);
  if (copied.exitStatus != 0)
    throw std::runtime_error(fmt::format("copying to {} failed: {}", host_.address,
                                         firstLine(copied.stderrBytes + copied.startError)));
  std::vector<std::string> names{"sha256sum", "--"};
  for (const auto& [there, file] : files_) names.push_back(there);
  for (const auto& [there, bytes] : staged_) names.push_back(there);
  const RunResult here = runHere(names, folder.path);
  const RunResult there = overSsh(host_, "cd " + dir + " && " + joinQuoted(names), {}, 300);
  const auto want = sums(here.stdoutText()), got = sums(there.stdoutText());
  if (want.size() != names.size() - 2)
    throw std::runtime_error("sha256sum failed here: " + firstLine(here.stderrBytes));
  for (const auto& [name, sum] : want)
    if (!got.contains(name) || got.at(name) != sum)
      throw std::runtime_error(fmt::format(
          "the copy of {} on {} is not the file here (SHA-256 {} there, {} here): not measuring",
          name, host_.address, got.contains(name) ? got.at(name) : "missing", sum));
}

RunResult RemoteStaging::run(const RunRequest& request) const {
  RunResult failed;
  RunRequest there = request;
  const auto exe =
      request.argv.empty() ? executables_.end() : executables_.find(request.argv.back());
  const auto input = inputs_.find(digestHex(
      request.inputFile ? digest(*request.inputFile) : digest(std::string_view(request.input))));
  if (exe == executables_.end() || input == inputs_.end()) {
    failed.startError = "the program or its input was not copied to " + host_.address;
    return failed;
  }
  there.argv.back() = exe->second;
  const std::string command = "cd " + shellQuote(host_.dir) + " && exec " +
                              joinQuoted(timerCommand("./" + timer_, there, input->second));
  // The timer keeps the program's own timeout; the connection gets a minute more.
  const RunResult ssh = overSsh(host_, command, {}, request.timeout.count() + 60, request.cancel);
  failed.cancelled = ssh.cancelled;
  failed.stderrBytes = ssh.stderrBytes;
  if (!ssh.startError.empty() || ssh.cancelled) {
    failed.startError = ssh.startError;
    return failed;
  }
  const std::string said = firstLine(ssh.stderrBytes);
  if (ssh.timedOut) {
    failed.startError =
        fmt::format("no answer from {} within the run's timeout and a minute", host_.address);
    return failed;
  }
  if (ssh.exitStatus == 255 || ssh.signal) {
    failed.startError = fmt::format("connection to {} lost: {}", host_.address,
                                    said.empty() ? "ssh ended without a word" : said);
    return failed;
  }
  std::string why;
  auto report = parseTimerReport(ssh.stdoutText(), why);
  if (!report) {
    failed.startError =
        fmt::format("{}: {}{}", host_.address, why, said.empty() ? "" : " (" + said + ")");
    return failed;
  }
  report->stderrBytes = ssh.stderrBytes;
  report->stdoutLimit = request.stdoutLimit;
  return *report;
}

} // namespace bench32
