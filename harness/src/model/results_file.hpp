// The results file: a session's every sample and setting as JSON, read back whole by
// every later harness (the versions it reads are checked-in test files).
#pragma once

#include <filesystem>

#include <nlohmann/json.hpp>

#include "model/results.hpp"

namespace bench32 {

// A unit's runs are parallel lists, one per metric (the metrics table names them) and,
// with code layouts, these two.
inline constexpr const char* layoutListKey = "layout";
inline constexpr const char* paddingListKey = "padding_bytes";
// The lists of runs of copies run at once: which copy, and its start and end.
inline constexpr const char* copyListKey = "copy";
inline constexpr const char* startListKey = "start_s";
inline constexpr const char* endListKey = "end_s";

nlohmann::json toJson(const Results& results);
// Throws BadInput naming what is wrong and where: a number out of its range, a
// configuration named twice, a result for a configuration not in "configs", two results
// for one unit. Free text is kept as one line (control characters escaped); a name or a
// path holding control characters is refused.
Results resultsFromJson(const nlohmann::json& doc);
// Read with parseStoredJson (bounded depth, no duplicate keys); errors start "FILE: ".
Results loadResults(const std::filesystem::path& file);
// The same checks, keeping the document as it was read (for a copy into a database).
nlohmann::json loadResultsDocument(const std::filesystem::path& file);
// Writes through a temporary file and a rename, so a reader never sees half a file.
// Throws WriteError with the system's reason.
void saveResults(const std::filesystem::path& file, const Results& results);

} // namespace bench32
