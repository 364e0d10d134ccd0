#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace plumo {

// The shared folder of an application group:
// ${XDG_DATA_HOME:-$HOME/.local/share}/group-containers/<group>.
struct GroupContainer {
  // Absent when the group is empty, "." or "..", holds "/" or NUL, or no absolute base folder is known.
  static std::optional<std::filesystem::path> path(const std::string& group);
};

}  // namespace plumo
