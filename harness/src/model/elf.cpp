#include "model/elf.hpp"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

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

} // namespace

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
