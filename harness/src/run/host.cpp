#include "run/host.hpp"

#include <fmt/format.h>

namespace bench32 {

Runner Host::runner() const {
  if (!staging) return runProcess;
  const RemoteStaging* remote = staging.get();
  return [remote](const RunRequest& request) { return remote->run(request); };
}

Host reachHost(const std::optional<RemoteHost>& remote, const std::filesystem::path& source,
               Results& results, const std::function<void(const std::string&)>& note) {
  Host host;
  if (!remote) return host;
  const auto described = describeHost(*remote);
  results.ranOn = described;
  results.ranOn["remote"] = remote->address + ":" + remote->dir;
  note(fmt::format("host {}: {}, {}, {} cores", remote->address, described.at("machine"),
                   described.count("cpu") ? described.at("cpu") : "CPU unknown",
                   described.count("cores") ? described.at("cores") : "?"));
  host.staging = std::make_unique<RemoteStaging>(*remote);
  host.staging->addTimer(timerFor(described.at("machine"), source));
  return host;
}

void stageOnHost(Host& host, const std::vector<PlannedUnit>& units, const Results& results,
                 const std::function<void(const std::string&)>& note) {
  if (!host.staging) return;
  for (const auto& unit : units) {
    for (const auto& exe : unit.executables)
      host.staging->addExecutable(results.units[unit.resultIndex].config, exe);
    host.staging->addInput(*unit.input);
  }
  note(fmt::format("copying to {}:{}", host.staging->host().address, host.staging->host().dir));
  host.staging->copyAndCheck();
}

} // namespace bench32
