#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace plumo {

// The file of this machine behind a GIO address (trash:///…, recent:///…, a
// mounted remote location): the path GIO gives for the address, or else the
// path of the file the address stands for (its target). None where there is no
// local file, or GIO does not know the address.
struct LocalFile {
  static std::optional<std::filesystem::path> behind(const std::string& address);
};

}  // namespace plumo
