// Numbers as the command line gives them, read one way for every number option of the
// harness and the case runner.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bench32 {

// A finite decimal number: an optional minus sign, digits with at most one point, and
// an optional exponent ("2", "0.5", "-3", "1e-3", ".5"). Refused, as nullopt with why
// in a few words: anything else ("inf", "nan", hexadecimal, blanks, a plus sign), and
// numbers beyond the range of a double.
std::optional<double> parseDecimal(std::string_view text, std::string& why);

// The text as a message may show it: quoted and escaped when it holds a control
// character, so that the message stays on one line.
std::string shownText(std::string_view text);

} // namespace bench32
