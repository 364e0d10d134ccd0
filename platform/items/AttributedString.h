#pragma once

#include <string>

namespace plumo {

// Styled text; only its characters matter here.
struct AttributedString {
  std::string string;
};

}  // namespace plumo
