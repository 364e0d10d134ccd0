#include "InstalledFiles.h"

namespace plumo {

std::filesystem::path InstalledFiles::program() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error);
}

}  // namespace plumo
