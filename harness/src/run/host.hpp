// Where a session's programs run: this machine, or a remote host reached over ssh, which
// is described before anything is built (a host that cannot be reached costs a second)
// and given the timer, the executables and the inputs once they are.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exec/remote.hpp"
#include "model/results.hpp"
#include "run/unit.hpp"

namespace bench32 {

struct Host {
  std::unique_ptr<RemoteStaging> staging; // empty: this machine

  // Runs one program there.
  Runner runner() const;
  // Programs started at once pass a start gate together only here: a remote host's
  // timer starts its own.
  bool startGate() const { return !staging; }
};

// This machine, or the remote host described over one connection: results.ranOn says
// which, and `note` names a remote host's machine. Throws BadInput when it cannot be
// reached.
Host reachHost(const std::optional<RemoteHost>& remote, const std::filesystem::path& source,
               Results& results, const std::function<void(const std::string&)>& note);

// A remote host's copies of the timer built for it, every planned executable and input,
// each checked there; nothing for this machine.
void stageOnHost(Host& host, const std::vector<PlannedUnit>& units, const Results& results,
                 const std::function<void(const std::string&)>& note);

} // namespace bench32
