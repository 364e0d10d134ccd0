#pragma once

#include <filesystem>

namespace plumo {

// Where the running program's files are: the folder that holds bin/, share/ and
// lib/, in the build tree as once installed.
struct InstalledFiles {
  static std::filesystem::path prefix();
  // Info.plist and the translations.
  static std::filesystem::path bundle() { return prefix() / "share" / "plumo-share"; }
};

}  // namespace plumo
