// Fuzz target for the bisect log reader: any bytes are read as a bisect log; a log that
// reads must write back to text that reads as the same log.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "exec/errors.hpp"
#include "run/bisect_log.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const bench32::BisectLog log = bench32::parseBisectLog(text, "bisect.json");
    const std::string written = bench32::bisectLogText(log);
    if (bench32::bisectLogText(bench32::parseBisectLog(written, "written")) != written)
      std::abort();
  } catch (const bench32::BadInput&) {
  }
  return 0;
}
