#include "InstalledFiles.h"

namespace plumo {

std::filesystem::path InstalledFiles::prefix() {
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  return program.parent_path().parent_path();
}

}  // namespace plumo
