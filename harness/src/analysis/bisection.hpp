// Finding the first bad revision of a line of revisions, oldest first, whose first is
// good and whose last is bad. A revision that cannot be classified (it did not build,
// it miscompiled, its verdict stayed open) is never counted as either: the search
// steps round it, and when only such revisions are left between the last good and the
// first bad, the answer names them all.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace bench32 {

// What a measured revision is: like the good end, like the bad end, or neither of the
// kinds that say nothing of the change (each with its reason).
enum class Outcome { untested, good, bad, skipped, miscompiled, open };
std::string outcomeName(Outcome outcome); // "good", "bad", "skipped", ...
std::optional<Outcome> outcomeFromName(const std::string& name);
inline bool classified(Outcome o) { return o == Outcome::good || o == Outcome::bad; }

// Where the search stands: the last good revision below the first bad one, and the
// revisions between them that are left to measure (untested) or cannot be
// (unclassified).
struct Bracket {
  std::size_t lastGood = 0, firstBad = 0;
  std::vector<std::size_t> untested, unclassified;
};

// The outcomes of revisions 0..n-1; revision 0 counts as good and n-1 as bad whatever
// they hold (the ends were shown to differ before the search began).
Bracket bracketOf(const std::vector<Outcome>& outcomes);

// The revision to measure next: of those left untested in the bracket, the one nearest
// its middle (the lower on a tie), so that a skipped revision costs one step more, not
// a restart. None when the bracket holds no untested revision.
std::optional<std::size_t> nextRevision(const std::vector<Outcome>& outcomes);

// The candidates for the first bad revision once the search is done: the first bad
// alone, or it and the unclassified revisions just below it.
std::vector<std::size_t> firstBadCandidates(const std::vector<Outcome>& outcomes);

} // namespace bench32
