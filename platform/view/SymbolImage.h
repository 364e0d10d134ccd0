#pragma once

#include <optional>
#include <string>

#include "Image.h"

namespace plumo {

// The card's named symbols, drawn with the icon theme: each name maps onto
// freedesktop icon names, the first one the theme has is shown.
struct SymbolImage {
  // Absent for a name that is not a known symbol.
  static std::optional<Image> named(const std::string& name, double pointSize);
};

}  // namespace plumo
