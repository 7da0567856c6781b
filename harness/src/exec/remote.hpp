// Measuring on another machine over ssh: the remote host is described, the executables, the
// timer built for its machine and the inputs are copied there and their digests checked,
// and every timed run is the timer's run there, read back from its report. Every
// connection goes through the user's ssh command, so its options (port, key,
// ssh_config) are ssh's own.
#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "exec/process.hpp"

namespace bench32 {

struct RemoteHost {
  std::string address; // [USER@]HOST
  std::string dir;     // where the files go there, relative to the login folder or absolute
  std::vector<std::string> ssh; // the command every connection runs, e.g. {"ssh", "-F", "cfg"}
};

inline constexpr const char* defaultRemoteDir = ".cache/bench32-remote";

// "[USER@]HOST[:DIR]" with the ssh command's words; throws BadInput when either is empty.
RemoteHost parseRemote(const std::string& where, const std::string& sshCommand);

// Quotes a word for the remote shell.
std::string shellQuote(const std::string& word);

// One connection: the host's machine kind, kernel, CPU model, cores and host name,
// keyed as the environment's (machine, kernel, cpu, cores, host). Throws BadInput with
// ssh's own line when the host cannot be reached.
std::map<std::string, std::string> describeHost(const RemoteHost& host);

// The timer built for a host of this machine kind (uname -m): the one beside this
// executable when the kinds match, else the cross build's in the source tree's build/.
// Throws BadInput naming the build to make when there is none.
std::filesystem::path timerFor(const std::string& machine, const std::filesystem::path& source);

// A remote host's staging: the files a session copies there, and the runner that runs
// them there.
class RemoteStaging {
public:
  explicit RemoteStaging(RemoteHost host) : host_(std::move(host)) {}
  void addTimer(const std::filesystem::path& timer);
  // The executable, under the configuration's folder there; a run of its local path
  // runs the copy.
  void addExecutable(const std::string& config, const std::filesystem::path& executable);
  void addInput(const MemoryFile& input);
  // Copies every file through the ssh command (tar at both ends) and checks each
  // copy's SHA-256 there against the file's here; throws naming the first that differs.
  void copyAndCheck() const;
  // Runs the request's program there through the timer; a lost connection or a bad
  // report is a start error saying why, so the run fails and is never a sample.
  RunResult run(const RunRequest& request) const;
  const RemoteHost& host() const { return host_; }

private:
  RemoteHost host_;
  std::map<std::string, std::filesystem::path> files_; // there (relative) -> here
  std::map<std::string, std::string> executables_;     // here -> there
  std::map<std::string, std::string> inputs_;          // digest -> there
  std::map<std::string, std::string> staged_;          // there -> bytes (the inputs)
  std::string timer_;                                  // there
};

// One connection running command (a line for the remote shell) with input on its
// standard input; the ssh process's own result.
RunResult overSsh(const RemoteHost& host, const std::string& command,
                  std::shared_ptr<const MemoryFile> input = {}, double timeout = 60,
                  const std::atomic<bool>* cancel = nullptr);

} // namespace bench32
