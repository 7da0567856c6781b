// Fuzz target for the workloads and cases readers: any bytes are read as a
// workloads.json and as a cases.json. File parts never reach the file system: the one
// file there is, "a.in", is given by the seam, and every other name is missing. Inputs
// are capped at 1 MiB here, so that a valid huge input is a refusal, not an allocation.
#include <cstdint>
#include <string>
#include <string_view>

#include "exec/errors.hpp"
#include "exec/expectation.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  bench32::InputSource source;
  source.maxBytes = std::uint64_t{1} << 20;
  source.readPart = [](const std::string& name, std::uint64_t limit) {
    if (name != "a.in") throw bench32::BadInput(name + ": cannot open: No such file");
    const std::string bytes = "1 2 3\n";
    if (bytes.size() > limit) throw bench32::BadInput(name + ": too large");
    return bytes;
  };
  try {
    bench32::parseProgramFacts(text, "workloads.json", source);
  } catch (const bench32::BadInput&) {
  }
  try {
    bench32::parseCases(text, "cases.json", source);
  } catch (const bench32::BadInput&) {
  }
  return 0;
}
