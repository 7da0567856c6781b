// Fuzz target for the results-file reader: any bytes are read as a results file. A
// refusal (BadInput) is fine; a crash, a leak or undefined behaviour is not, and neither
// is a file that reads but whose rewrite does not read back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "exec/errors.hpp"
#include "exec/stored_json.hpp"
#include "model/results_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  nlohmann::json written;
  try {
    written = bench32::toJson(bench32::resultsFromJson(bench32::parseStoredJson(text, "r.json")));
  } catch (const bench32::BadInput&) {
    return 0;
  }
  // What the harness writes, it must read back unchanged.
  try {
    const std::string again = written.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
    const nlohmann::json reread =
        bench32::toJson(bench32::resultsFromJson(bench32::parseStoredJson(again, "again")));
    if (reread != written) {
      std::fprintf(stderr, "a rewritten results file reads back differently\n");
      std::abort();
    }
  } catch (const bench32::BadInput& e) {
    std::fprintf(stderr, "a rewritten results file is refused: %s\n", e.what());
    std::abort();
  }
  return 0;
}
