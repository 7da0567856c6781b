// An executable's sections, read from its ELF section headers with libelf: 32- or
// 64-bit, either byte order, any machine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench32 {

struct ElfSection {
  std::string name;
  std::uint64_t size = 0;    // bytes in memory (a .bss takes none in the file)
  std::uint64_t address = 0; // 0 for a section that is not loaded
  bool allocated = false;    // SHF_ALLOC: part of the program's memory image
};

// Every section in header order, the null section at index 0 left out; nothing when
// the file cannot be read, is not ELF, or has no section headers.
std::optional<std::vector<ElfSection>> elfSections(const std::filesystem::path& file);

// The allocated sections' sizes by name (sections sharing a name added together): what
// the program occupies in memory, without its symbols, debug information or comments.
using SectionSizes = std::map<std::string, std::uint64_t>;
std::optional<SectionSizes> allocatedSectionSizes(const std::filesystem::path& file);

// A section's bytes as in the file, with its address; nothing when the file cannot be
// read or has no such section (or it has no bytes in the file, as a .bss).
struct SectionBytes {
  std::uint64_t address = 0;
  std::string bytes;
};
std::optional<SectionBytes> sectionBytes(const std::filesystem::path& file,
                                         const std::string& name);

// A function of the symbol table (STT_FUNC, defined, with a size).
struct FunctionSymbol {
  std::string name;   // demangled, as profilers and nm -C show it
  std::string symbol; // as written in the file
  std::uint64_t address = 0, size = 0;
};

// The functions of the file's symbol table (.symtab, or .dynsym when it was stripped), in
// symbol table order; nothing when the file cannot be read or has neither table.
std::optional<std::vector<FunctionSymbol>> functionSymbols(const std::filesystem::path& file);

// Code size by function name: functions of one name (local functions of several files)
// add up.
using FunctionSizes = std::map<std::string, std::uint64_t>;
std::optional<FunctionSizes> functionSizes(const std::filesystem::path& file);

} // namespace bench32
