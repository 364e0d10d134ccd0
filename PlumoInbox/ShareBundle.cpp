#include "ShareBundle.h"

#include "GroupContainer.h"

namespace plumo {

std::filesystem::path ShareBundle::installedFolder() {
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  return program.parent_path().parent_path() / "share" / "plumo-share";
}

std::string ShareBundle::scheme() const { return info_.string("PlumoScheme").value_or("plumo"); }

std::optional<std::filesystem::path> ShareBundle::storeRoot() const {
  const auto container = GroupContainer::path(info_.string("PlumoAppGroup").value_or(""));
  if (!container) return std::nullopt;
  return *container / "PlumoShare";
}

}  // namespace plumo
