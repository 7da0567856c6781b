#include "suite.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "errors.hpp"
#include "expectation.hpp"

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

// Reads an unsigned field of the given width and byte order; nothing past the end.
std::optional<std::uint64_t> field(const std::string& bytes, std::uint64_t offset, unsigned width,
                                   bool bigEndian) {
  if (offset > bytes.size() || bytes.size() - offset < width) return std::nullopt;
  std::uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    const auto byte = std::uint8_t(bytes[offset + (bigEndian ? i : width - 1 - i)]);
    value = (value << 8) | byte;
  }
  return value;
}

} // namespace

std::optional<std::uint64_t> textSize(const fs::path& file) {
  const std::string bytes = readAll(file);
  if (bytes.size() < 16 || bytes.compare(0, 4,
                                         "\x7f"
                                         "ELF") != 0)
    return std::nullopt;
  const bool wide = bytes[4] == 2; // ELFCLASS64
  const bool big = bytes[5] == 2;  // ELFDATA2MSB
  const unsigned word = wide ? 8 : 4;
  auto get = [&](std::uint64_t offset, unsigned width) { return field(bytes, offset, width, big); };
  const auto shoff = get(wide ? 0x28 : 0x20, word);
  const auto shentsize = get(wide ? 0x3a : 0x2e, 2);
  const auto shnum = get(wide ? 0x3c : 0x30, 2);
  const auto shstrndx = get(wide ? 0x3e : 0x32, 2);
  if (!shoff || !shentsize || !shnum || !shstrndx || *shstrndx >= *shnum) return std::nullopt;
  // Section header: name offset at 0; offset at 0x18/0x10, size at 0x20/0x14.
  auto header = [&](std::uint64_t index) { return *shoff + index * *shentsize; };
  const auto namesOffset = get(header(*shstrndx) + (wide ? 0x18 : 0x10), word);
  if (!namesOffset) return std::nullopt;
  for (std::uint64_t i = 0; i < *shnum; ++i) {
    const auto name = get(header(i), 4);
    if (!name) return std::nullopt;
    const std::uint64_t at = *namesOffset + *name;
    if (at < bytes.size() && std::strncmp(bytes.c_str() + at, ".text", 6) == 0)
      return get(header(i) + (wide ? 0x20 : 0x14), word);
  }
  return std::nullopt;
}

std::string fileDigest(const fs::path& file) {
  std::error_code error;
  if (!fs::is_regular_file(file, error)) return {};
  return digestHex(digest(readAll(file)));
}

} // namespace bench32
