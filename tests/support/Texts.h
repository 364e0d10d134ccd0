#pragma once

#include <cstddef>
#include <string>

namespace plumo::testing {

inline std::string repeated(const std::string& piece, std::size_t times) {
  std::string text;
  text.reserve(piece.size() * times);
  for (std::size_t index = 0; index < times; ++index) text += piece;
  return text;
}

}  // namespace plumo::testing
