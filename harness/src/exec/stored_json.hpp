// Reading JSON that was stored by someone else: a results file, a workloads file, a
// database column, another process's output. The text may be anything, so nesting is
// bounded, duplicate keys are refused and numbers are range-checked before they are
// converted; every error is one line in bench32's words naming what was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace bench32 {

// Deeper than any file bench32 writes (a results file is 5 levels deep), shallow
// enough that walking the result can never exhaust the stack.
inline constexpr std::size_t storedJsonMaxDepth = 64;

// Parses JSON text from a file, a database or another process; `what` names it in errors
// ("r.json", "results.db: session 3, units.extra"). Throws BadInput with one line:
// "WHAT: not valid JSON at line L, column C", "WHAT: too deeply nested at
// results[3].layouts[1]...", "WHAT: duplicate key \"K\" at results[0]". Never the library's
// exception text.
nlohmann::json parseStoredJson(std::string_view text, std::string_view what);

// A file's bytes, refused past maxBytes before they are all read, so that /dev/zero or a
// runaway file ends in one line rather than in memory exhaustion. With regularOnly, also
// refused when it is not a regular file (its size is checked up front). Throws BadInput:
// "FILE: cannot open: REASON", "FILE: not a regular file", "FILE: larger than N bytes".
std::string readStoredFile(const std::filesystem::path& file, std::uint64_t maxBytes,
                           bool regularOnly = false);

// Stored text made safe for one line of a message: control characters and invalid UTF-8
// escaped (\n, \x1b, ...), long text cut with "...".
std::string oneLine(std::string_view text, std::size_t max = 200);

// Range-checked numbers: throw BadInput naming `path` when the value is not a number of
// that kind or lies outside [lo, hi]; never convert first and check after.
std::int64_t integerAt(const nlohmann::json& value, std::string_view path, std::int64_t lo,
                       std::int64_t hi);
// As integerAt, for counts and sizes that may use the whole unsigned range.
std::uint64_t unsignedAt(const nlohmann::json& value, std::string_view path, std::uint64_t lo,
                         std::uint64_t hi);
double numberAt(const nlohmann::json& value, std::string_view path, double lo,
                double hi); // finite
// A string, or BadInput naming `path`.
const std::string& stringAt(const nlohmann::json& value, std::string_view path);

// The position of a key or an index below `path`, as the errors show it: "results[3]",
// "configs[0].name", "environment[\"odd key\"]".
std::string keyPath(std::string_view path, std::string_view key);
std::string indexPath(std::string_view path, std::size_t index);

} // namespace bench32
