#pragma once

#include <string>
#include <variant>
#include <vector>

#include "AttributedString.h"
#include "Url.h"

namespace plumo {

using Data = std::vector<unsigned char>;

// What a provider hands out that is none of the kinds below (a number, a colour, ...).
struct OtherItem {
  std::string description;
};

// One loaded item, as an item provider delivers it for a type identifier.
using Item = std::variant<std::string, AttributedString, Data, Url, OtherItem>;

}  // namespace plumo
