#include "analysis/bisection.hpp"

#include <array>
#include <utility>

namespace bench32 {
namespace {

constexpr std::array<std::pair<Outcome, const char*>, 6> names{
    {{Outcome::untested, "untested"},
     {Outcome::good, "good"},
     {Outcome::bad, "bad"},
     {Outcome::skipped, "skipped"},
     {Outcome::miscompiled, "miscompiled"},
     {Outcome::open, "open"}}};

} // namespace

std::string outcomeName(Outcome outcome) {
  for (const auto& [o, name] : names)
    if (o == outcome) return name;
  return "untested";
}

std::optional<Outcome> outcomeFromName(const std::string& name) {
  for (const auto& [o, n] : names)
    if (name == n) return o;
  return std::nullopt;
}

Bracket bracketOf(const std::vector<Outcome>& outcomes) {
  Bracket b;
  if (outcomes.size() < 2) return b;
  b.firstBad = outcomes.size() - 1;
  for (std::size_t i = 1; i + 1 < outcomes.size(); ++i)
    if (outcomes[i] == Outcome::bad) {
      b.firstBad = i;
      break;
    }
  // A good revision above the first bad one says the change came and went; the first
  // bad one still bounds the search, as it would for git bisect.
  for (std::size_t i = 1; i < b.firstBad; ++i)
    if (outcomes[i] == Outcome::good) b.lastGood = i;
  for (std::size_t i = b.lastGood + 1; i < b.firstBad; ++i)
    (outcomes[i] == Outcome::untested ? b.untested : b.unclassified).push_back(i);
  return b;
}

std::optional<std::size_t> nextRevision(const std::vector<Outcome>& outcomes) {
  const Bracket b = bracketOf(outcomes);
  if (b.untested.empty()) return std::nullopt;
  // Twice the middle, so that a tie between two revisions is seen exactly.
  const std::size_t middle2 = b.lastGood + b.firstBad;
  std::size_t best = b.untested.front();
  auto distance = [&](std::size_t i) {
    return 2 * i > middle2 ? 2 * i - middle2 : middle2 - 2 * i;
  };
  for (std::size_t i : b.untested)
    if (distance(i) < distance(best)) best = i;
  return best;
}

std::vector<std::size_t> firstBadCandidates(const std::vector<Outcome>& outcomes) {
  const Bracket b = bracketOf(outcomes);
  std::vector<std::size_t> candidates = b.unclassified;
  candidates.push_back(b.firstBad);
  return candidates;
}

} // namespace bench32
