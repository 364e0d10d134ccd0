// Owns the X11 clipboard and offers text it never delivers whole: with no
// argument it never answers the request for the text; with --partial it starts
// an incremental transfer, sends one piece and stalls. Prints "owning" once it
// owns the clipboard.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstring>

namespace {

void answer(Display* display, const XSelectionRequestEvent& request) {
  XEvent reply{};
  reply.xselection = {SelectionNotify, 0, True, display, request.requestor, request.selection, request.target,
                      request.property, request.time};
  XSendEvent(display, request.requestor, False, NoEventMask, &reply);
}

// Waits until the requestor has taken (deleted) the property, as the protocol asks before each piece.
void awaitDeletion(Display* display, Window requestor, Atom property) {
  XEvent event;
  do {
    XWindowEvent(display, requestor, PropertyChangeMask, &event);
  } while (event.xproperty.atom != property || event.xproperty.state != PropertyDelete);
}

}  // namespace

int main(int argc, char** argv) {
  const bool partial = argc > 1 && std::strcmp(argv[1], "--partial") == 0;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 1;
  const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  const Atom targets = XInternAtom(display, "TARGETS", False);
  const Atom text = XInternAtom(display, "UTF8_STRING", False);
  const Atom incremental = XInternAtom(display, "INCR", False);
  XSetSelectionOwner(display, clipboard, window, CurrentTime);
  if (XGetSelectionOwner(display, clipboard) != window) return 1;
  std::puts("owning");
  std::fflush(stdout);

  bool sent = false;
  while (true) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type != SelectionRequest) continue;
    const XSelectionRequestEvent& request = event.xselectionrequest;
    if (request.target == targets) {
      const Atom offered[] = {targets, text};
      XChangeProperty(display, request.requestor, request.property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(offered), 2);
      answer(display, request);
    } else if (request.target == text && partial && !sent) {
      sent = true;
      XSelectInput(display, request.requestor, PropertyChangeMask);
      const long size = 1 << 20;
      XChangeProperty(display, request.requestor, request.property, incremental, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&size), 1);
      answer(display, request);
      XFlush(display);
      awaitDeletion(display, request.requestor, request.property);
      const char piece[] = "the first piece of a longer text";
      XChangeProperty(display, request.requestor, request.property, text, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(piece), sizeof piece - 1);
    }
    XFlush(display);
  }
}
