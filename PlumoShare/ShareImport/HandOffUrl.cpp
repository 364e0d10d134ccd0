#include "HandOffUrl.h"

namespace plumo {

namespace {
constexpr std::string_view idPrefix = "://bot-share?id=";
}

std::string HandOffUrl::forShare(std::string_view scheme, std::string_view shareId) {
  std::string url(scheme);
  url += idPrefix;
  url += shareId;
  return url;
}

std::optional<std::string> HandOffUrl::shareId(std::string_view url, std::string_view scheme) {
  const std::string prefix = forShare(scheme, "");
  if (scheme.empty() || !url.starts_with(prefix) || url.size() == prefix.size()) return std::nullopt;
  return std::string(url.substr(prefix.size()));
}

}  // namespace plumo
