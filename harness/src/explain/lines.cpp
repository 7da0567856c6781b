#include "explain/lines.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "exec/expectation.hpp"
#include "exec/process.hpp"
#include "model/elf.hpp"

namespace bench32 {
namespace {

// "path:12" or "path:12 (discriminator 3)": the line's text from the file, if readable.
std::string sourceText(const std::string& location) {
  const std::size_t colon = location.rfind(':');
  if (colon == std::string::npos) return {};
  const long line = std::strtol(location.c_str() + colon + 1, nullptr, 10);
  std::ifstream file(location.substr(0, colon));
  std::string text;
  for (long i = 0; i < line && std::getline(file, text);) ++i;
  if (!file || line <= 0) return {};
  const std::size_t start = text.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : text.substr(start);
}

} // namespace

bool sameCode(const std::filesystem::path& a, const std::filesystem::path& b) {
  const auto x = sectionBytes(a, ".text"), y = sectionBytes(b, ".text");
  return x && y && x->address == y->address && digest(x->bytes) == digest(y->bytes);
}

std::vector<SourceLine> hottestLines(const std::filesystem::path& withDebugInfo,
                                     const std::map<std::uint64_t, std::uint64_t>& counts,
                                     std::size_t most) {
  RunRequest request;
  request.argv = {"addr2line", "-e", withDebugInfo.string()};
  std::vector<std::uint64_t> perAddress;
  for (const auto& [address, count] : counts) {
    if (!count) continue;
    request.argv.push_back(fmt::format("{:#x}", address));
    perAddress.push_back(count);
  }
  const RunResult run = runProcess(request);
  if (perAddress.empty() || run.exitStatus != 0 || !run.stdoutFile) return {};
  std::map<std::string, std::uint64_t> byLine;
  std::istringstream out(run.stdoutFile->readAll());
  std::string location;
  for (std::size_t i = 0; i < perAddress.size() && std::getline(out, location); ++i) {
    const std::size_t note = location.find(" (discriminator");
    if (note != std::string::npos) location.erase(note);
    byLine[location] += perAddress[i];
  }
  std::vector<SourceLine> lines;
  for (const auto& [where, count] : byLine) lines.push_back({where, sourceText(where), count});
  std::stable_sort(lines.begin(), lines.end(),
                   [](const SourceLine& x, const SourceLine& y) { return x.count > y.count; });
  if (lines.size() > most) lines.resize(most);
  return lines;
}

} // namespace bench32
