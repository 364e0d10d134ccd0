#pragma once

#include <string>

namespace plumo {

// An image by reference: a GIcon in its serialized form (a themed icon name,
// or a file), shown at a size in points.
struct Image {
  std::string icon;
  double width = 0;
  double height = 0;

  friend bool operator==(const Image&, const Image&) = default;
};

}  // namespace plumo
