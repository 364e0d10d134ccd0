#pragma once

#include "View.h"

namespace plumo {

// Lays its arranged views out in a row or a column.
class StackView : public View {
 public:
  enum class Orientation { horizontal, vertical };
  enum class Alignment { centerX, centerY };

  StackView(std::vector<std::shared_ptr<View>> views, Orientation stackOrientation)
      : orientation(stackOrientation), arrangedSubviews_(std::move(views)) {
    for (const auto& view : arrangedSubviews_) addSubview(view);
  }

  const std::vector<std::shared_ptr<View>>& arrangedSubviews() const { return arrangedSubviews_; }

  Orientation orientation;
  Alignment alignment = orientation == Orientation::vertical ? Alignment::centerX : Alignment::centerY;
  double spacing = 8;

 private:
  std::vector<std::shared_ptr<View>> arrangedSubviews_;
};

}  // namespace plumo
