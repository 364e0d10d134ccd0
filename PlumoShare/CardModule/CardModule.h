#pragma once

#include <filesystem>
#include <memory>

#include "CardWindow.h"

// The module's entry point: the card's window, or null when GTK can open no
// display. The caller owns the window; the module stays loaded for good.
extern "C" plumo::CardWindow* plumo_card_window_open();

namespace plumo {

// The GTK card lives in a module of its own, loaded only to show a card, so
// that a headless share never maps a desktop toolkit.
class CardModule {
 public:
  static constexpr const char* entryPoint = "plumo_card_window_open";

  // <prefix>/<libdir>/plumo-share/plumo-card.so, beside <prefix>/bin, in the build tree as once installed.
  static std::filesystem::path installedIn(const std::filesystem::path& prefix);

  // Whether DISPLAY or WAYLAND_DISPLAY names a display to show a card on.
  static bool displayPresent();

  // The card's window, or none without a display (DISPLAY or WAYLAND_DISPLAY)
  // or when the module is damaged or cannot be loaded (logged): the share then runs headless.
  static std::unique_ptr<CardWindow> openWindow(const std::filesystem::path& module);
};

}  // namespace plumo
