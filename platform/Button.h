#pragma once

#include <functional>
#include <string>

namespace plumo {

// A push button: a title and the action that a click runs.
class Button {
 public:
  enum class BezelStyle { rounded = 1 };

  std::string title;
  std::function<void()> action;
  BezelStyle bezelStyle = BezelStyle::rounded;
  bool translatesAutoresizingMaskIntoConstraints = true;

  void performClick() const {
    if (action) action();
  }
};

}  // namespace plumo
