#pragma once

#include <functional>
#include <string>

#include "View.h"

namespace plumo {

// A push button: a title and the action that a click runs.
class Button : public View {
 public:
  enum class BezelStyle { rounded = 1 };

  std::string title;
  std::function<void()> action;
  BezelStyle bezelStyle = BezelStyle::rounded;

  void performClick() const {
    if (action) action();
  }
};

}  // namespace plumo
