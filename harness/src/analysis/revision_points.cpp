#include "analysis/revision_points.hpp"

#include <map>
#include <set>

#include <fmt/format.h>

#include "analysis/fleet.hpp"
#include "exec/errors.hpp"
#include "exec/git.hpp"
#include "store/triage.hpp"

namespace bench32 {
namespace fs = std::filesystem;

// Every session of each revision, merged, in commit order (else time order).
std::vector<RevisionPoint> revisionPoints(const std::vector<store::SessionInfo>& sessions,
                                          const std::vector<Results>& results,
                                          const fs::path& repo) {
  std::map<std::string, std::vector<std::size_t>> byRevision;
  for (std::size_t i = 0; i < sessions.size(); ++i) byRevision[sessions[i].revision].push_back(i);
  std::vector<RevisionPoint> points;
  std::vector<RevisionStamp> stamps;
  std::vector<std::string> revisions;
  for (const auto& [revision, group] : byRevision) {
    RevisionPoint point;
    point.revision = revision;
    std::vector<Results> loaded;
    for (const std::size_t i : group) {
      const store::SessionInfo& s = sessions[i];
      point.sessions.push_back(s.id);
      loaded.push_back(results.at(i));
      if (point.created.empty() || s.created < point.created) point.created = s.created;
    }
    point.merged = mergeResults(loaded);
    point.warning = machineWarning(loaded, "revision " + revisionLabel(revision));
    point.loaded = std::move(loaded);
    stamps.push_back({revision, point.created});
    revisions.push_back(revision);
    points.push_back(std::move(point));
  }
  std::vector<RevisionPoint> ordered;
  for (std::size_t i : revisionOrder(stamps, commitRanks(repo, revisions)))
    ordered.push_back(std::move(points[i]));
  return ordered;
}

// The sessions filed under a revision, given in full or as the start of a commit name.
std::vector<store::SessionInfo> sessionsOf(const std::vector<store::SessionInfo>& all,
                                           const std::string& revision) {
  std::vector<store::SessionInfo> exact, prefixed;
  std::set<std::string> matched;
  // Only a commit name may be shortened: a label means itself.
  const bool abbreviable =
      revision.size() >= 4 && revision.find_first_not_of("0123456789abcdef") == std::string::npos;
  for (const auto& s : all) {
    if (s.revision == revision) exact.push_back(s);
    if (abbreviable && s.revision.rfind(revision, 0) == 0) {
      prefixed.push_back(s);
      matched.insert(s.revision);
    }
  }
  if (!exact.empty()) return exact;
  if (matched.size() > 1)
    throw BadInput(fmt::format("revision \"{}\" is ambiguous: it begins {} revisions", revision,
                               matched.size()));
  if (prefixed.empty()) throw BadInput(fmt::format("no session of revision \"{}\"", revision));
  return prefixed;
}

Knowledge::Knowledge(store::Database& db, const std::vector<Results>& sessions, Metric metric)
    : noise(NoiseModel::learn(sessions, metric)) {
  for (const auto& mark : store::loadTriage(db))
    states[{mark.revision, mark.program, mark.workload, mark.config}] = mark.state;
}

void Knowledge::applyTo(CompareSettings& settings) const {
  settings.noise = &noise;
  settings.states = &states;
}

std::vector<Results> everySession(const std::vector<RevisionPoint>& points) {
  std::vector<Results> sessions;
  for (const auto& p : points) sessions.insert(sessions.end(), p.loaded.begin(), p.loaded.end());
  return sessions;
}

} // namespace bench32
