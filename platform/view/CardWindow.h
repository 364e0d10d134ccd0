#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Button.h"
#include "ClipboardContents.h"
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

  // The clipboard of the card's display, read before the card is shown: an
  // image, else a list of files, else text; none when it holds none of these.
  // Where the display offers it only to a focused window (Wayland), a clear
  // window takes the focus for it until the card is shown or the window goes.
  // At most `byteLimit` bytes are read. The wait ends, as a read that failed
  // (ECANCELED), once `stop` becomes readable; `stop` itself is never read.
  virtual std::optional<ClipboardContents> readClipboard(std::size_t byteLimit, int stop) = 0;
};

}  // namespace plumo
