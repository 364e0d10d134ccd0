#pragma once

#include <memory>

#include "CardWindow.h"
#include "GtkViewRealization.h"

namespace plumo {

// The card's window with GTK 4: the view tree realized as widgets. The window
// goes before the widgets it shows.
class GtkCardWindow : public CardWindow {
 public:
  GtkCardWindow() = default;
  GtkCardWindow(const GtkCardWindow&) = delete;
  GtkCardWindow& operator=(const GtkCardWindow&) = delete;
  // The window leaves the screen at once with its owner, not at the main loop's
  // next turn: a program that waits for its next request (the browser's native
  // host) shows no stale card.
  ~GtkCardWindow() override;

  void show(const std::string& title, const std::shared_ptr<View>& view, const std::shared_ptr<Button>& dismiss,
            std::function<void()> appeared) override;
  std::optional<ClipboardContents> readClipboard(std::size_t byteLimit, int stop) override;

 private:
  std::unique_ptr<GtkViewRealization> realization_;
  GOwned<GtkWindow> window_;
  // Where the compositor hands the clipboard only to the focused window (Wayland):
  // held from the clipboard's read until the card is on the screen.
  GOwned<GtkWindow> focusWindow_;
};

}  // namespace plumo
