#include "ShareBundle.h"

#include "BuildIdentity.h"
#include "GroupContainer.h"
#include "ShareInbox.h"

namespace plumo {

std::string ShareBundle::group() const { return info_.string("PlumoAppGroup").value_or(""); }

std::string ShareBundle::scheme() const { return info_.string("PlumoScheme").value_or("plumo"); }

std::string ShareBundle::hostBundleId() const {
  return info_.string("PlumoHostBundleId").value_or(PLUMO_HOST_BUNDLE_ID);
}

std::optional<std::filesystem::path> ShareBundle::storeRoot() const {
  const auto container = GroupContainer::path(group());
  if (!container) return std::nullopt;
  return ShareInbox::rootIn(*container);
}

}  // namespace plumo
