#include "ElfSection.h"

#include <cstring>
#include <elf.h>
#include <fstream>
#include <vector>

namespace plumo::bridge {

namespace {

class FileBytes {
 public:
  explicit FileBytes(const std::filesystem::path& file) : stream_(file, std::ios::binary) {}

  // The bytes at [offset, offset + size), or absent when they are not all in the file.
  std::optional<std::string> at(std::uint64_t offset, std::uint64_t size) {
    if (!stream_ || size > (1u << 26)) return std::nullopt;
    std::string bytes(size, '\0');
    stream_.clear();
    stream_.seekg(static_cast<std::streamoff>(offset));
    stream_.read(bytes.data(), static_cast<std::streamsize>(size));
    if (!stream_ || static_cast<std::uint64_t>(stream_.gcount()) != size) return std::nullopt;
    return bytes;
  }

 private:
  std::ifstream stream_;
};

template <class Struct>
std::optional<Struct> structAt(FileBytes& file, std::uint64_t offset) {
  const auto bytes = file.at(offset, sizeof(Struct));
  if (!bytes) return std::nullopt;
  Struct value;
  std::memcpy(&value, bytes->data(), sizeof(Struct));
  return value;
}

template <class Header, class SectionHeader>
std::optional<std::string> findSection(FileBytes& file, const std::string& name) {
  const auto header = structAt<Header>(file, 0);
  if (!header || header->e_shentsize != sizeof(SectionHeader) || header->e_shstrndx >= header->e_shnum) {
    return std::nullopt;
  }
  const auto sectionAt = [&](std::uint64_t index) {
    return structAt<SectionHeader>(file, header->e_shoff + index * sizeof(SectionHeader));
  };
  const auto names = sectionAt(header->e_shstrndx);
  if (!names) return std::nullopt;
  const auto nameTable = file.at(names->sh_offset, names->sh_size);
  if (!nameTable) return std::nullopt;
  for (std::uint64_t index = 0; index < header->e_shnum; ++index) {
    const auto section = sectionAt(index);
    if (!section || section->sh_name >= nameTable->size()) return std::nullopt;
    if (std::strcmp(nameTable->c_str() + section->sh_name, name.c_str()) == 0 && section->sh_type != SHT_NOBITS) {
      return file.at(section->sh_offset, section->sh_size);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ElfSection::read(const std::filesystem::path& path, const std::string& name) {
  FileBytes file(path);
  const auto identification = file.at(0, EI_NIDENT);
  if (!identification || std::memcmp(identification->data(), ELFMAG, SELFMAG) != 0) return std::nullopt;
  switch ((*identification)[EI_CLASS]) {
    case ELFCLASS64:
      return findSection<Elf64_Ehdr, Elf64_Shdr>(file, name);
    case ELFCLASS32:
      return findSection<Elf32_Ehdr, Elf32_Shdr>(file, name);
    default:
      return std::nullopt;
  }
}

}  // namespace plumo::bridge
