// Prints every value plumo-share's --type takes, one a line, for its shell completion:
// the type identifiers, then their MIME types (without the wildcards).
#include <iostream>

#include "UTType.h"

int main() {
  const auto& table = plumo::UTType::table();
  for (const auto& type : table) std::cout << type.identifier << '\n';
  for (const auto& type : table) {
    for (const auto& mimeType : type.mimeTypes) {
      if (!mimeType.ends_with("/*")) std::cout << mimeType << '\n';
    }
  }
  return std::cout.flush() ? 0 : 1;
}
