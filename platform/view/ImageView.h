#pragma once

#include <optional>

#include "Image.h"
#include "Color.h"
#include "View.h"

namespace plumo {

// Shows an image, or nothing, scaled to fit its bounds.
class ImageView : public View {
 public:
  enum class Scaling { proportionallyDown, proportionallyUpOrDown };

  std::optional<Image> image;
  Scaling imageScaling = Scaling::proportionallyDown;
  std::optional<Color> contentTintColor;
};

}  // namespace plumo
