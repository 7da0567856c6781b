// Words and lists of them: a command line split as a POSIX shell splits it, and counts
// and names put into a message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bench32 {

// Splits a command line into words as a POSIX shell does: blanks separate them; single
// quotes, double quotes (in which a backslash escapes " \ $ ` and newline) and a
// backslash quote. Shell operators stay words of their own. Throws BadInput for an
// unterminated quote. Every command the user gives (--run-under, --ssh, flags) and
// every command a build wrote is split by it.
std::vector<std::string> shellWords(const std::string& command);
// The words as one command line that shellWords splits back into them: a word with
// anything but letters, digits and -_./=:,+@% in it is single-quoted.
std::string commandText(const std::vector<std::string>& words);

// A sweep: the text once for each choice of its brace groups ("gcc-O{1,2,3}=g++:-O{1,2,3}"
// is three texts). Every group of one text must list as many choices, and the k-th text
// takes the k-th choice of each, so that a group in the name goes with its group in the
// flags. A text without a group is itself; a brace with no comma in it is kept as it is.
// Throws BadInput for groups of different lengths, an empty choice, or a brace left open.
std::vector<std::string> expandSweep(const std::string& text);

// "1 run", "2 runs".
std::string plural(std::size_t n, std::string_view word);

// Names for a message: "a, b, c".
std::string joinNames(const std::vector<std::string>& names);

// The known name that `word` was most likely meant to be: the one fewest single-letter
// edits away (inserted, deleted, replaced or two swapped), letter case ignored, when that
// is few enough to be a slip: at most a third of the longer word, and one at least. The
// first such name on a tie; empty when none is near.
std::string nearestName(std::string_view word, const std::vector<std::string>& known);
// The end of an "unknown ..." message: `; did you mean "NAME"?` for the nearest name,
// else ` (known: a, b, c)`, ` (LABEL: a, b, c)` with a label, ` (a, b, c)` with an empty one.
std::string suggestion(std::string_view word, const std::vector<std::string>& known,
                       std::string_view label = "known");

} // namespace bench32
