#pragma once

#include <filesystem>

namespace plumo {

// Where the running program's files are: the folder that holds bin/, share/ and
// lib/, in the build tree as once installed.
struct InstalledFiles {
  // The running program's file; empty where /proc is not mounted.
  static std::filesystem::path program();
  static std::filesystem::path prefix() { return program().parent_path().parent_path(); }
  // Info.plist and the translations.
  static std::filesystem::path bundle() { return prefix() / "share" / "plumo-share"; }
};

}  // namespace plumo
