#pragma once

#include <string>
#include <variant>
#include <vector>

#include "AttributedString.h"
#include "Url.h"

namespace plumo {

using Data = std::vector<unsigned char>;

// One loaded item, as an item provider delivers it for a type identifier.
using Item = std::variant<std::string, AttributedString, Data, Url>;

}  // namespace plumo
