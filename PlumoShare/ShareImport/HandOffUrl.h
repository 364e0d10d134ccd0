#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plumo {

// The URL that wakes the host application for one published share:
// <scheme>://bot-share?id=<share id>, byte for byte, with no escaping.
struct HandOffUrl {
  static std::string forShare(std::string_view scheme, std::string_view shareId);
  // The id a URL of exactly that form carries (or with its empty path written as
  // "/", as GIO may pass it on); absent for any other URL or scheme.
  // The id itself is not checked: it is only a name to look up in the inbox.
  static std::optional<std::string> shareId(std::string_view url, std::string_view scheme);
};

}  // namespace plumo
