#include "ShareBundle.h"

#include "GroupContainer.h"
#include "ShareInbox.h"

namespace plumo {

std::string ShareBundle::scheme() const { return info_.string("PlumoScheme").value_or("plumo"); }

std::optional<std::filesystem::path> ShareBundle::storeRoot() const {
  const auto container = GroupContainer::path(info_.string("PlumoAppGroup").value_or(""));
  if (!container) return std::nullopt;
  return ShareInbox::rootIn(*container);
}

}  // namespace plumo
