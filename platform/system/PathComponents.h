#pragma once

#include <string>
#include <string_view>

namespace plumo {

// The path rules of the desktop framework that names and URLs follow.
struct PathComponents {
  // The part after the last "/", trailing slashes ignored; "/" alone stays "/".
  static std::string lastComponent(std::string_view path);
  // The part after the last "." of the last component; empty when there is
  // none or the only dot starts the component (".profile").
  static std::string extension(std::string_view path);
};

}  // namespace plumo
