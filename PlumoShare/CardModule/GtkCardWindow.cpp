#include "GtkCardWindow.h"

#include <X11/Xlib.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <glib-unix.h>
#include <memory>

#include "CardModule.h"
#include "GOwned.h"

plumo::CardWindow* plumo_card_window_open() {
  if (!plumo::GtkViewRealization::initialize()) return nullptr;
  return new plumo::GtkCardWindow();
}

namespace plumo {

namespace {

// GDK learns what the clipboard offers from its owner just after the display
// opens; an empty clipboard never tells. Under X11 an unowned clipboard is known
// at once; an owner answers within moments even on a busy machine, and one that
// does not must not hold the share for ever. A Wayland compositor tells only a
// window that has the keyboard focus, which it gives a new window at once or never.
constexpr guint offerPatienceMs = 5000;
constexpr guint focusPatienceMs = 5000;
constexpr guint transferPatienceMs = 5000;

bool isDisplayOfType(GdkDisplay* display, const char* typeName) {
  return std::strcmp(G_OBJECT_TYPE_NAME(display), typeName) == 0;
}

// False only where the display can tell that nobody holds the clipboard (X11).
// Asked over a connection of our own: GTK's own X11 calls are deprecated.
bool mayHoldSomething(GdkClipboard* clipboard) {
  GdkDisplay* display = gdk_clipboard_get_display(clipboard);
  if (!isDisplayOfType(display, "GdkX11Display")) return true;
  Display* x11 = XOpenDisplay(gdk_display_get_name(display));
  if (x11 == nullptr) return true;
  const bool owned = XGetSelectionOwner(x11, XInternAtom(x11, "CLIPBOARD", False)) != None;
  XCloseDisplay(x11);
  return owned;
}

// Waits in the main loop, which alone receives GDK's answers, until `done`
// or until `stop` becomes readable; false when stopped.
bool runUntil(const std::function<bool()>& done, int stop) {
  bool stopped = false;
  const auto noteStop = +[](int, GIOCondition, gpointer flag) -> gboolean {
    *static_cast<bool*>(flag) = true;
    return G_SOURCE_REMOVE;  // nothing is read: the signal stays for whoever takes it
  };
  const guint watch = stop >= 0 ? g_unix_fd_add(stop, G_IO_IN, noteStop, &stopped) : 0;
  while (!done() && !stopped) g_main_context_iteration(nullptr, TRUE);
  if (!stopped && watch != 0) g_source_remove(watch);
  return !stopped;
}

// A timeout that ends a wait of the main loop, unless the wait ended first.
class Deadline {
 public:
  explicit Deadline(guint milliseconds) {
    source_ = g_timeout_add(milliseconds, +[](gpointer self) -> gboolean {
      auto& deadline = *static_cast<Deadline*>(self);
      deadline.source_ = 0;
      return G_SOURCE_REMOVE;
    }, this);
  }
  ~Deadline() {
    if (source_ != 0) g_source_remove(source_);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  bool expired() const { return source_ == 0; }

 private:
  guint source_ = 0;
};

bool offersNothing(GdkClipboard* clipboard) {
  gsize count = 0;
  gdk_content_formats_get_mime_types(gdk_clipboard_get_formats(clipboard), &count);
  return count == 0;
}

// Until the display tells what the clipboard offers, within a bound.
void awaitOffer(GdkClipboard* clipboard, int stop) {
  bool told = false;
  const Deadline deadline(offerPatienceMs);
  const gulong changed =
      g_signal_connect_swapped(clipboard, "changed", G_CALLBACK(+[](bool* flag) { *flag = true; }), &told);
  runUntil([&] { return told || deadline.expired(); }, stop);
  g_signal_handler_disconnect(clipboard, changed);
}

// A window the user does not see, presented for the keyboard focus alone.
GOwned<GtkWindow> focusWindow() {
  GOwned<GtkWindow> window(GTK_WINDOW(gtk_window_new()));
  gtk_window_set_decorated(window.get(), FALSE);
  gtk_window_set_resizable(window.get(), FALSE);
  gtk_window_set_default_size(window.get(), 1, 1);
  // All but clear: a window that draws nothing is never mapped.
  const GOwned<GtkCssProvider> clear(gtk_css_provider_new());
  constexpr const char* allButClear = "window.plumo-focus { background: rgba(0, 0, 0, 0.01); }";
#if GTK_CHECK_VERSION(4, 12, 0)
  gtk_css_provider_load_from_string(clear.get(), allButClear);
#else
  gtk_css_provider_load_from_data(clear.get(), allButClear, -1);
#endif
  gtk_style_context_add_provider_for_display(gtk_widget_get_display(GTK_WIDGET(window.get())),
                                             GTK_STYLE_PROVIDER(clear.get()), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  gtk_widget_add_css_class(GTK_WIDGET(window.get()), "plumo-focus");
  gtk_window_present(window.get());
  return window;
}

// Until `window` has the keyboard focus and what the compositor sent with it has
// been taken in: no error, else timed_out, or operation_canceled once `stop` became readable.
std::error_code awaitFocus(GtkWindow* window, int stop) {
  const Deadline deadline(focusPatienceMs);
  if (!runUntil([&] { return gtk_window_is_active(window) || deadline.expired(); }, stop)) {
    return std::make_error_code(std::errc::operation_canceled);
  }
  if (!gtk_window_is_active(window)) return std::make_error_code(std::errc::timed_out);
  gdk_display_sync(gtk_widget_get_display(GTK_WIDGET(window)));
  return {};
}

// The first of the types we take that the clipboard offers, or none.
const char* offeredType(GdkClipboard* clipboard) {
  for (const char* type : {ClipboardContents::image, ClipboardContents::fileList, ClipboardContents::text}) {
    if (gdk_content_formats_contain_mime_type(gdk_clipboard_get_formats(clipboard), type)) return type;
  }
  return nullptr;
}

// One read of the clipboard. GDK may answer after the wait for it has ended (its
// owner stalled, the user dismissed): each pending answer holds the read, buffer
// included, so that nothing it writes lands in freed memory.
struct ClipboardRead {
  const GOwned<GCancellable> cancellable{g_cancellable_new()};
  bool answered = false;
  GOwned<GInputStream> stream;
  Data bytes;
  gsize length = 0;
  std::error_code error;
};
using SharedRead = std::shared_ptr<ClipboardRead>;

// For GDK's user data: the answer's own hold on the read, released by the answer.
gpointer holdFor(const SharedRead& read) { return new SharedRead(read); }

SharedRead takeHold(gpointer data) {
  const std::unique_ptr<SharedRead> held(static_cast<SharedRead*>(data));
  return *held;
}

void fail(ClipboardRead& read, GError* failure) {
  const GOwned<GError> owned(failure);
  read.error = std::make_error_code(std::errc::io_error);
}

void streamOpened(GObject* clipboard, GAsyncResult* result, gpointer data) {
  const SharedRead read = takeHold(data);
  GError* failure = nullptr;
  read->stream.reset(gdk_clipboard_read_finish(GDK_CLIPBOARD(clipboard), result, nullptr, &failure));
  if (failure != nullptr) fail(*read, failure);
  read->answered = true;
}

void bytesRead(GObject* stream, GAsyncResult* result, gpointer data) {
  const SharedRead read = takeHold(data);
  GError* failure = nullptr;
  if (!g_input_stream_read_all_finish(G_INPUT_STREAM(stream), result, &read->length, &failure)) fail(*read, failure);
  read->answered = true;
}

// Until GDK answers, the deadline passes (ETIMEDOUT) or `stop` (ECANCELED); false unless answered.
bool awaitAnswer(ClipboardRead& read, const Deadline& deadline, int stop) {
  const bool stopped = !runUntil([&] { return read.answered || deadline.expired(); }, stop);
  if (read.answered) {
    read.answered = false;
    return !read.error;
  }
  g_cancellable_cancel(read.cancellable.get());
  read.error = std::make_error_code(stopped ? std::errc::operation_canceled : std::errc::timed_out);
  return false;
}

}  // namespace

GtkCardWindow::~GtkCardWindow() {
  if (window_ == nullptr && focusWindow_ == nullptr) return;
  window_.reset();
  focusWindow_.reset();
  gdk_display_flush(gdk_display_get_default());
}

void GtkCardWindow::show(const std::string& title, const std::shared_ptr<View>& view,
                         const std::shared_ptr<Button>& dismiss, std::function<void()> appeared) {
  window_.reset();
  realization_ = std::make_unique<GtkViewRealization>(view);
  window_ = realization_->window(title, dismiss);
  using Appeared = std::function<void()>;
  g_signal_connect_data(window_.get(), "map",
                        G_CALLBACK(+[](GtkWidget*, gpointer data) { (*static_cast<Appeared*>(data))(); }),
                        new Appeared(std::move(appeared)),
                        +[](gpointer data, GClosure*) { delete static_cast<Appeared*>(data); }, GConnectFlags(0));
  gtk_window_present(window_.get());
  // Only now: the compositor passes the focus on to the card from the window that holds it.
  focusWindow_.reset();
}

// At most byteLimit bytes are taken: a larger content is refused by the share as too
// large without being read whole. One deadline bounds the whole transfer.
std::optional<ClipboardContents> GtkCardWindow::readClipboard(std::size_t byteLimit, int stop) {
  GdkDisplay* display = gdk_display_get_default();
  GdkClipboard* clipboard = gdk_display_get_clipboard(display);
  if (isDisplayOfType(display, "GdkWaylandDisplay")) {
    focusWindow_ = focusWindow();
    if (const std::error_code error = awaitFocus(focusWindow_.get(), stop)) {
      return ClipboardContents{ClipboardContents::text, {}, error};
    }
  } else if (offersNothing(clipboard) && mayHoldSomething(clipboard)) {
    awaitOffer(clipboard, stop);
  }
  const char* type = offeredType(clipboard);
  if (type == nullptr) return std::nullopt;
  const auto read = std::make_shared<ClipboardRead>();
  const Deadline deadline(transferPatienceMs);
  const char* types[] = {type, nullptr};
  gdk_clipboard_read_async(clipboard, types, G_PRIORITY_DEFAULT, read->cancellable.get(), streamOpened, holdFor(read));
  if (awaitAnswer(*read, deadline, stop)) {
    read->bytes.resize(byteLimit);
    g_input_stream_read_all_async(read->stream.get(), read->bytes.data(), byteLimit, G_PRIORITY_DEFAULT,
                                  read->cancellable.get(), bytesRead, holdFor(read));
    awaitAnswer(*read, deadline, stop);
  }
  ClipboardContents contents{type, {}, read->error};
  if (!read->error) contents.bytes.assign(read->bytes.begin(), read->bytes.begin() + read->length);
  return contents;
}

}  // namespace plumo
