// Returns once a client of the display grabs the keyboard, as a popup menu does
// once it takes the keys: keys sent before would reach the window beneath it.
// Exits 1 when no grab comes within a minute (only a hang reaches that).
#include <X11/Xlib.h>

#include <chrono>
#include <thread>

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  bool grabbed = false;
  while (!grabbed && std::chrono::steady_clock::now() < deadline) {
    const int grab = XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync,
                                   CurrentTime);
    grabbed = grab == AlreadyGrabbed;
    if (grab == GrabSuccess) XUngrabKeyboard(display, CurrentTime);
    XSync(display, False);
    if (!grabbed) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  XCloseDisplay(display);
  return grabbed ? 0 : 1;
}
