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

// GIO 2.84 hands the URL to the desktop portal with an empty path written as "/"
// ("plumo://bot-share/?id=…"): the same URL, which the host must take too.
std::optional<std::string> HandOffUrl::shareId(std::string_view url, std::string_view scheme) {
  if (scheme.empty()) return std::nullopt;
  for (const std::string& prefix : {forShare(scheme, ""), std::string(scheme) + "://bot-share/?id="}) {
    if (url.starts_with(prefix) && url.size() > prefix.size()) return std::string(url.substr(prefix.size()));
  }
  return std::nullopt;
}

}  // namespace plumo
