// Source lines for a measured binary's hot code, from a companion build with -g: its
// line information is used only when its code is byte for byte the measured code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace bench32 {

// Whether two binaries hold the same code at the same place: the same .text bytes
// (compared by digest) at the same address.
bool sameCode(const std::filesystem::path& a, const std::filesystem::path& b);

struct SourceLine {
  std::string location; // file:line, as addr2line gives it ("??:0" when unknown)
  std::string text;     // the line of source, when the file can be read
  std::uint64_t count = 0;
};

// The `most` source lines with the largest counts, from the counts per instruction
// address and the -g binary's line table (addr2line; the innermost inlined location).
std::vector<SourceLine> hottestLines(const std::filesystem::path& withDebugInfo,
                                     const std::map<std::uint64_t, std::uint64_t>& counts,
                                     std::size_t most = 5);

} // namespace bench32
