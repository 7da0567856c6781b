#include "model/elf.hpp"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace bench32 {
namespace {

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) close(fd);
  }
};

struct ElfEnd {
  void operator()(Elf* elf) const { elf_end(elf); }
};

bool libelfReady() {
  // libelf refuses every call until the caller has named the ELF version it speaks.
  static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
  return ready;
}

struct FreeDemangled {
  void operator()(char* p) const { std::free(p); }
};

std::string demangle(const char* symbol) {
  int status = 0;
  const std::unique_ptr<char, FreeDemangled> name(
      abi::__cxa_demangle(symbol, nullptr, nullptr, &status));
  return status == 0 && name ? std::string(name.get()) : std::string(symbol);
}

// The section of the given type, or null.
Elf_Scn* sectionOfType(Elf* elf, GElf_Word type, GElf_Shdr& header) {
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn))
    if (gelf_getshdr(scn, &header) && header.sh_type == type) return scn;
  return nullptr;
}

std::vector<FunctionSymbol> readFunctions(Elf* elf, Elf_Scn* scn, const GElf_Shdr& header) {
  std::vector<FunctionSymbol> functions;
  Elf_Data* data = elf_getdata(scn, nullptr);
  const std::size_t count = header.sh_entsize ? header.sh_size / header.sh_entsize : 0;
  for (std::size_t i = 0; data && i < count; ++i) {
    GElf_Sym sym;
    if (!gelf_getsym(data, static_cast<int>(i), &sym)) break;
    if (GELF_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_shndx == SHN_UNDEF || sym.st_size == 0)
      continue;
    const char* symbol = elf_strptr(elf, header.sh_link, sym.st_name);
    if (!symbol || !*symbol) continue;
    functions.push_back({demangle(symbol), symbol, sym.st_value, sym.st_size});
  }
  return functions;
}

} // namespace

std::optional<std::vector<FunctionSymbol>> functionSymbols(const std::filesystem::path& file) {
  if (!libelfReady()) return std::nullopt;
  const FileCloser handle{open(file.c_str(), O_RDONLY | O_CLOEXEC)};
  if (handle.fd < 0) return std::nullopt;
  const std::unique_ptr<Elf, ElfEnd> elf(elf_begin(handle.fd, ELF_C_READ, nullptr));
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF) return std::nullopt;
  GElf_Shdr header;
  Elf_Scn* table = sectionOfType(elf.get(), SHT_SYMTAB, header);
  if (!table) table = sectionOfType(elf.get(), SHT_DYNSYM, header);
  if (!table) return std::nullopt;
  return readFunctions(elf.get(), table, header);
}

std::optional<SectionBytes> sectionBytes(const std::filesystem::path& file,
                                         const std::string& name) {
  if (!libelfReady()) return std::nullopt;
  const FileCloser handle{open(file.c_str(), O_RDONLY | O_CLOEXEC)};
  if (handle.fd < 0) return std::nullopt;
  const std::unique_ptr<Elf, ElfEnd> elf(elf_begin(handle.fd, ELF_C_READ, nullptr));
  std::size_t names = 0;
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF || elf_getshdrstrndx(elf.get(), &names) != 0)
    return std::nullopt;
  for (Elf_Scn* scn = elf_nextscn(elf.get(), nullptr); scn; scn = elf_nextscn(elf.get(), scn)) {
    GElf_Shdr header;
    const char* section =
        gelf_getshdr(scn, &header) ? elf_strptr(elf.get(), names, header.sh_name) : nullptr;
    if (!section || name != section || header.sh_type == SHT_NOBITS) continue;
    SectionBytes result{header.sh_addr, {}};
    for (Elf_Data* data = elf_getdata(scn, nullptr); data; data = elf_getdata(scn, data))
      if (data->d_buf) result.bytes.append(static_cast<const char*>(data->d_buf), data->d_size);
    return result;
  }
  return std::nullopt;
}

std::optional<FunctionSizes> functionSizes(const std::filesystem::path& file) {
  const auto functions = functionSymbols(file);
  if (!functions) return std::nullopt;
  FunctionSizes sizes;
  for (const auto& f : *functions) sizes[f.name] += f.size;
  return sizes;
}

std::optional<std::vector<ElfSection>> elfSections(const std::filesystem::path& file) {
  if (!libelfReady()) return std::nullopt;
  const FileCloser handle{open(file.c_str(), O_RDONLY | O_CLOEXEC)};
  if (handle.fd < 0) return std::nullopt;
  // Read, not mapped: a file cut short while it is read (a rebuild) must give an error,
  // not a SIGBUS.
  const std::unique_ptr<Elf, ElfEnd> elf(elf_begin(handle.fd, ELF_C_READ, nullptr));
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF) return std::nullopt;
  std::size_t names = 0;
  if (elf_getshdrstrndx(elf.get(), &names) != 0) return std::nullopt;
  std::vector<ElfSection> sections;
  for (Elf_Scn* scn = elf_nextscn(elf.get(), nullptr); scn; scn = elf_nextscn(elf.get(), scn)) {
    GElf_Shdr header;
    if (!gelf_getshdr(scn, &header)) return std::nullopt;
    const char* name = elf_strptr(elf.get(), names, header.sh_name);
    if (!name) return std::nullopt;
    sections.push_back({name, header.sh_size, header.sh_addr, (header.sh_flags & SHF_ALLOC) != 0});
  }
  if (sections.empty()) return std::nullopt;
  return sections;
}

std::optional<SectionSizes> allocatedSectionSizes(const std::filesystem::path& file) {
  const auto sections = elfSections(file);
  if (!sections) return std::nullopt;
  SectionSizes sizes;
  for (const ElfSection& s : *sections)
    if (s.allocated) sizes[s.name] += s.size;
  return sizes;
}

} // namespace bench32
