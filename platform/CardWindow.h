#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Button.h"
#include "View.h"

namespace plumo {

// The card on the screen: a window that shows a controller's view. The host
// gets one only where a display is present; without it the share runs headless.
class CardWindow {
 public:
  virtual ~CardWindow() = default;

  // Shows `view` in an undecorated window of its own size. Escape and closing
  // the window click `dismiss`; `appeared` runs once the window is mapped.
  virtual void show(const std::string& title, const std::shared_ptr<View>& view,
                    const std::shared_ptr<Button>& dismiss, std::function<void()> appeared) = 0;
};

}  // namespace plumo
