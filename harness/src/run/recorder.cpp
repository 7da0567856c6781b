#include "run/recorder.hpp"

#include <set>

#include "analysis/fleet.hpp"
#include "exec/errors.hpp"
#include "model/results_file.hpp"
#include "store/open.hpp"

namespace bench32 {

SessionRecorder::SessionRecorder(const std::string& target)
    : db_(store::openStore(target)), writer_(*db_) {}

void SessionRecorder::checkpoint(const Results& results) { writer_.checkpoint(toJson(results)); }

void applyFleetOptions(Plan& plan, Results& results, const RunOptions& options) {
  // The command line is kept with the results: a database password must not be.
  for (auto& word : results.command) word = store::withoutPassword(word);
  if (!options.revision.empty()) {
    if (options.revision.find_first_of("\n\r\t") != std::string::npos ||
        options.revision.size() > 200)
      throw BadInput("--revision: a label of one line, at most 200 characters");
    results.environment["revision"] = options.revision;
  }
  if (options.shard.empty()) return;
  keepShard(results, parseShard(options.shard));
  std::set<std::string> running;
  for (const auto& u : results.units) running.insert(u.program);
  std::erase_if(plan.programs, [&](const ProgramInfo& p) { return !running.count(p.name); });
}

} // namespace bench32
