#include "model/suite.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "exec/errors.hpp"
#include "exec/expectation.hpp"
#include "model/elf.hpp"

namespace bench32 {
namespace fs = std::filesystem;

std::vector<ProgramInfo> discoverPrograms(const fs::path& sourceDir) {
  const fs::path root = sourceDir / "benchmarks";
  std::error_code error;
  if (!fs::is_directory(root, error))
    throw BadInput(root.string() + ": no such folder (is --source the suite's source tree?)");
  std::vector<ProgramInfo> programs;
  for (const auto& entry : fs::directory_iterator(root, error)) {
    if (entry.is_directory() && fs::exists(entry.path() / "workloads.json"))
      programs.push_back({entry.path().filename().string(), entry.path()});
  }
  std::sort(programs.begin(), programs.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  return programs;
}

namespace {

std::string readAll(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) return {};
  std::ostringstream bytes;
  bytes << stream.rdbuf();
  return bytes.str();
}

} // namespace

std::optional<std::uint64_t> textSize(const fs::path& file) {
  const auto sections = elfSections(file);
  if (!sections) return std::nullopt;
  for (const ElfSection& s : *sections)
    if (s.name == ".text") return s.size;
  return std::nullopt;
}

std::string fileDigest(const fs::path& file) {
  std::error_code error;
  if (!fs::is_regular_file(file, error)) return {};
  return digestHex(digest(readAll(file)));
}

} // namespace bench32
