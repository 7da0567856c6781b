// Section sizes from ELF files of each class and byte order, written here with libelf,
// and files that are not ELF or are cut short.
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "model/elf.hpp"
#include "model/suite.hpp"

namespace bench32 {
namespace {

namespace fs = std::filesystem;

struct SectionSpec {
  const char* name;
  GElf_Word type;
  GElf_Xword flags;
  std::size_t size;
  GElf_Addr address;
};

// An executable's typical sections, one name twice (sizes of one name add up), and
// sections that are not loaded.
const std::vector<SectionSpec> specs = {
    {".text", SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, 100, 0x1000},
    {".rodata", SHT_PROGBITS, SHF_ALLOC, 30, 0x2000},
    {".note", SHT_NOTE, SHF_ALLOC, 12, 0x2100},
    {".note", SHT_NOTE, SHF_ALLOC, 20, 0x2200},
    {".data", SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, 8, 0x3000},
    {".bss", SHT_NOBITS, SHF_ALLOC | SHF_WRITE, 4096, 0x3010},
    {".comment", SHT_PROGBITS, SHF_MERGE | SHF_STRINGS, 20, 0},
};

// Writes specs (and the section-name table) as an ELF executable of the given class
// and byte order; returns false when libelf refuses.
bool writeElf(const fs::path& file, int elfClass, unsigned char byteOrder,
              const std::vector<SectionSpec>& sections) {
  if (elf_version(EV_CURRENT) == EV_NONE) return false;
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  Elf* elf = elf_begin(fd, ELF_C_WRITE, nullptr);
  bool ok = elf && gelf_newehdr(elf, elfClass);
  GElf_Ehdr ehdr{};
  ok = ok && gelf_getehdr(elf, &ehdr);
  ehdr.e_ident[EI_DATA] = byteOrder;
  ehdr.e_type = ET_EXEC;
  ehdr.e_machine = elfClass == ELFCLASS64 ? EM_X86_64 : EM_ARM;
  ehdr.e_version = EV_CURRENT;
  std::string names(1, '\0');
  const std::vector<char> zeros(4096);
  auto add = [&](const char* name, GElf_Word type, GElf_Xword flags, std::size_t size,
                 GElf_Addr address, const void* bytes) {
    Elf_Scn* scn = elf_newscn(elf);
    GElf_Shdr shdr{};
    if (!scn || !gelf_getshdr(scn, &shdr)) return (Elf_Scn*)nullptr;
    shdr.sh_name = GElf_Word(names.size());
    names += name + std::string(1, '\0');
    shdr.sh_type = type;
    shdr.sh_flags = flags;
    shdr.sh_addr = address;
    Elf_Data* data = elf_newdata(scn);
    if (!data) return (Elf_Scn*)nullptr;
    data->d_buf = type == SHT_NOBITS ? nullptr : const_cast<void*>(bytes);
    data->d_size = size;
    data->d_type = ELF_T_BYTE;
    data->d_align = 1;
    return gelf_update_shdr(scn, &shdr) ? scn : nullptr;
  };
  for (const auto& s : sections)
    ok = ok && add(s.name, s.type, s.flags, s.size, s.address, zeros.data());
  // The name table holds its own name too: its bytes are given once names is whole.
  Elf_Scn* strtab = ok ? add(".shstrtab", SHT_STRTAB, 0, 0, 0, nullptr) : nullptr;
  if (strtab) {
    Elf_Data* data = elf_getdata(strtab, nullptr);
    data->d_buf = names.data();
    data->d_size = names.size();
    ehdr.e_shstrndx = GElf_Half(elf_ndxscn(strtab));
  }
  ok = ok && strtab && gelf_update_ehdr(elf, &ehdr) && elf_update(elf, ELF_C_WRITE) >= 0;
  if (elf) elf_end(elf);
  close(fd);
  return ok;
}

TEST(Elf, SectionSizesOfEachClassAndByteOrder) {
  struct Case {
    const char* name;
    int elfClass;
    unsigned char byteOrder;
  };
  const Case cases[] = {{"64-bit little-endian", ELFCLASS64, ELFDATA2LSB},
                        {"64-bit big-endian", ELFCLASS64, ELFDATA2MSB},
                        {"32-bit little-endian", ELFCLASS32, ELFDATA2LSB},
                        {"32-bit big-endian", ELFCLASS32, ELFDATA2MSB}};
  const SectionSizes expected = {
      {".text", 100}, {".rodata", 30}, {".note", 32}, {".data", 8}, {".bss", 4096}};
  for (const auto& c : cases) {
    const fs::path file = fs::path(testing::TempDir()) / ("elf-" + std::to_string(getpid()));
    ASSERT_TRUE(writeElf(file, c.elfClass, c.byteOrder, specs)) << c.name << elf_errmsg(-1);
    const auto sections = elfSections(file);
    ASSERT_TRUE(sections) << c.name;
    ASSERT_EQ(sections->size(), specs.size() + 1) << c.name;
    for (std::size_t i = 0; i < specs.size(); ++i) {
      EXPECT_EQ((*sections)[i].name, specs[i].name) << c.name;
      EXPECT_EQ((*sections)[i].size, specs[i].size) << c.name << " " << specs[i].name;
      EXPECT_EQ((*sections)[i].address, specs[i].address) << c.name << " " << specs[i].name;
    }
    EXPECT_EQ(sections->back().name, ".shstrtab") << c.name;
    EXPECT_FALSE(sections->back().allocated) << c.name;
    EXPECT_EQ(allocatedSectionSizes(file), expected) << c.name;
    EXPECT_EQ(textSize(file), 100u) << c.name;
    fs::remove(file);
  }
}

TEST(Elf, WhatIsNotWholeElfHasNoSections) {
  const fs::path dir = fs::path(testing::TempDir()) / ("not-elf-" + std::to_string(getpid()));
  fs::create_directories(dir);
  ASSERT_TRUE(writeElf(dir / "whole", ELFCLASS32, ELFDATA2LSB, specs));
  std::ifstream in(dir / "whole", std::ios::binary);
  const std::string whole{std::istreambuf_iterator<char>(in), {}};
  ASSERT_TRUE(elfSections(dir / "whole"));
  // libelf places the section headers last, so every cut loses some of them.
  for (std::size_t cut : {0ul, 4ul, 16ul, 52ul, whole.size() / 2, whole.size() - 1})
    std::ofstream(dir / ("cut-" + std::to_string(cut)), std::ios::binary) << whole.substr(0, cut);
  std::ofstream(dir / "script") << "#!/bin/sh\necho hello\n";
  std::ofstream(dir / "archive") << "!<arch>\n";
  // The 32-bit little-endian header's fields: e_shoff at 0x20, e_shnum at 0x30 and
  // e_shstrndx at 0x32.
  auto patched = [&](const char* name, std::size_t offset, std::string bytes) {
    std::string copy = whole;
    copy.replace(offset, bytes.size(), bytes);
    std::ofstream(dir / name, std::ios::binary) << copy;
  };
  patched("no-section-headers", 0x20, std::string(4, '\0'));
  patched("no-sections", 0x30, std::string(2, '\0'));
  patched("name-table-out-of-range", 0x32, std::string("\x40\x00", 2));
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename() == "whole") continue;
    EXPECT_FALSE(elfSections(entry.path())) << entry.path();
    EXPECT_FALSE(allocatedSectionSizes(entry.path())) << entry.path();
    EXPECT_FALSE(textSize(entry.path())) << entry.path();
  }
  EXPECT_FALSE(elfSections(dir / "no-such-file"));
  EXPECT_FALSE(elfSections(dir)); // a folder
  fs::remove_all(dir);
}

} // namespace
} // namespace bench32
