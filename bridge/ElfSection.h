#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace plumo::bridge {

// The contents of a named section of an ELF file (64-bit or 32-bit, host
// byte order); absent when the file is no such ELF file or has no such section.
struct ElfSection {
  static std::optional<std::string> read(const std::filesystem::path& file, const std::string& name);
};

}  // namespace plumo::bridge
