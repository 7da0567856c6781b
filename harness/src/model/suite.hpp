// The suite on disk: the programs found in a source tree, their executables in a
// build folder, and facts about an executable (code size, content hash).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace bench32 {

struct ProgramInfo {
  std::string name;
  std::filesystem::path dir; // holds workloads.json (and cases.json)
  std::filesystem::path workloadsFile() const { return dir / "workloads.json"; }
};

// Every benchmarks/<name>/ of the source tree that has a workloads.json, by name.
std::vector<ProgramInfo> discoverPrograms(const std::filesystem::path& sourceDir);

// Size in bytes of the .text section of an ELF file (32- or 64-bit, either byte
// order); nothing when the file is not ELF or has no .text.
std::optional<std::uint64_t> textSize(const std::filesystem::path& file);

// XXH3-64 of a file's bytes, in hex; empty when it cannot be read.
std::string fileDigest(const std::filesystem::path& file);

} // namespace bench32
