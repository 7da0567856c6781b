// Fuzz target for the decoding of a results database's rows: one session's rows, as
// the database hands them back, turned into its results document and then into
// results, as `loadSession` does. Whatever the rows hold, the decoding either gives a
// document or refuses it with one line (BadInput); the results reader after it does
// the same. Anything else escaping, a crash or a sanitizer report is a finding.
//
// Input layout: rows separated by 0x1e, a row's values by 0x1f. The first row is the
// session's; each later row starts with its kind, 'c' (a configuration), 'u' (a unit)
// or 's' (a run), and any other kind is skipped. A value that is the single byte 0x18
// is NULL. Missing values are NULL and extra ones dropped, since a database always
// gives each row its columns' count.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "exec/errors.hpp"
#include "model/results_file.hpp"
#include "store/sessions.hpp"

namespace {

using bench32::store::Row;

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

Row rowOf(std::string_view text, std::size_t width) {
  Row row;
  for (const auto value : split(text, '\x1f')) {
    if (row.size() == width) break;
    if (value == "\x18")
      row.emplace_back();
    else
      row.emplace_back(std::string(value));
  }
  row.resize(width);
  return row;
}

// Messages are one line: no control characters, whatever the rows held.
void checkMessage(const std::exception& e) {
  for (const char c : std::string_view(e.what()))
    if (static_cast<unsigned char>(c) < 0x20) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto columns = bench32::store::storedColumns();
  const auto rows = split(input, '\x1e');
  bench32::store::StoredSession stored;
  stored.session = rowOf(rows[0], columns.session.size());
  for (std::size_t i = 1; i < rows.size(); ++i) {
    if (rows[i].empty()) continue;
    const std::string_view rest = rows[i].substr(1);
    switch (rows[i][0]) {
    case 'c':
      stored.configs.push_back(rowOf(rest, columns.config.size()));
      break;
    case 'u':
      stored.units.push_back(rowOf(rest, columns.unit.size()));
      break;
    case 's':
      stored.samples.push_back(rowOf(rest, columns.sample.size()));
      break;
    default:
      break;
    }
  }
  nlohmann::json doc;
  try {
    doc = bench32::store::decodeSession(stored);
  } catch (const bench32::store::BadRow& e) {
    checkMessage(e);
    return 0;
  }
  // What export writes must be writable whatever the text held.
  (void)doc.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
  try {
    (void)bench32::resultsFromJson(doc);
  } catch (const bench32::BadInput&) {
    // loadSession makes its message one line, as it does these:
  } catch (const nlohmann::json::exception&) {
  }
  return 0;
}
