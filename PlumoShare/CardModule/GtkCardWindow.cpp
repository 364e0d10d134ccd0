#include "GtkCardWindow.h"

#include <X11/Xlib.h>
#include <cerrno>
#include <cstring>
#include <functional>

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
// does not must not hold the share for ever.
constexpr guint offerPatienceMs = 5000;
constexpr guint transferPatienceMs = 5000;

// False only where the display can tell that nobody holds the clipboard (X11).
// Asked over a connection of our own: GTK's own X11 calls are deprecated.
bool mayHoldSomething(GdkClipboard* clipboard) {
  GdkDisplay* display = gdk_clipboard_get_display(clipboard);
  if (std::strcmp(G_OBJECT_TYPE_NAME(display), "GdkX11Display") != 0) return true;
  Display* x11 = XOpenDisplay(gdk_display_get_name(display));
  if (x11 == nullptr) return true;
  const bool owned = XGetSelectionOwner(x11, XInternAtom(x11, "CLIPBOARD", False)) != None;
  XCloseDisplay(x11);
  return owned;
}

// Waits in the main loop, which alone receives GDK's answers.
void runUntil(const bool& done) {
  while (!done) g_main_context_iteration(nullptr, TRUE);
}

// A timeout that ends a wait of the main loop, unless the wait ended first.
class Deadline {
 public:
  Deadline(guint milliseconds, std::function<void()> expire) : expire_(std::move(expire)) {
    source_ = g_timeout_add(milliseconds, +[](gpointer self) -> gboolean {
      auto& deadline = *static_cast<Deadline*>(self);
      deadline.source_ = 0;
      deadline.expire_();
      return G_SOURCE_REMOVE;
    }, this);
  }
  ~Deadline() {
    if (source_ != 0) g_source_remove(source_);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  std::function<void()> expire_;
  guint source_ = 0;
};

bool offersNothing(GdkClipboard* clipboard) {
  gsize count = 0;
  gdk_content_formats_get_mime_types(gdk_clipboard_get_formats(clipboard), &count);
  return count == 0;
}

// The first of the types we take that the clipboard offers, or none.
const char* offeredType(GdkClipboard* clipboard) {
  bool told = !offersNothing(clipboard) || !mayHoldSomething(clipboard);
  if (!told) {
    const Deadline deadline(offerPatienceMs, [&told] { told = true; });
    const gulong changed =
        g_signal_connect_swapped(clipboard, "changed", G_CALLBACK(+[](bool* flag) { *flag = true; }), &told);
    runUntil(told);
    g_signal_handler_disconnect(clipboard, changed);
  }
  for (const char* type : {ClipboardContents::image, ClipboardContents::fileList, ClipboardContents::text}) {
    if (gdk_content_formats_contain_mime_type(gdk_clipboard_get_formats(clipboard), type)) return type;
  }
  return nullptr;
}

struct PendingRead {
  const GOwned<GCancellable> cancellable{g_cancellable_new()};
  bool answered = false;
  GOwned<GInputStream> stream;
  gsize length = 0;
  int error = 0;

  void awaitAnswer() {
    runUntil(answered);
    answered = false;
  }

  void fail(const GOwned<GError>& failure) {
    error = g_error_matches(failure.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED) ? ETIMEDOUT : EIO;
  }
};

void streamOpened(GObject* clipboard, GAsyncResult* result, gpointer data) {
  auto& pending = *static_cast<PendingRead*>(data);
  GError* failure = nullptr;
  pending.stream.reset(gdk_clipboard_read_finish(GDK_CLIPBOARD(clipboard), result, nullptr, &failure));
  if (failure != nullptr) pending.fail(GOwned<GError>(failure));
  pending.answered = true;
}

void bytesRead(GObject* stream, GAsyncResult* result, gpointer data) {
  auto& pending = *static_cast<PendingRead*>(data);
  GError* failure = nullptr;
  if (!g_input_stream_read_all_finish(G_INPUT_STREAM(stream), result, &pending.length, &failure)) {
    pending.fail(GOwned<GError>(failure));
  }
  pending.answered = true;
}

}  // namespace

GtkCardWindow::~GtkCardWindow() {
  if (window_ == nullptr) return;
  window_.reset();
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
}

std::optional<ClipboardContents> GtkCardWindow::readClipboard(std::size_t byteLimit) {
  GdkClipboard* clipboard = gdk_display_get_clipboard(gdk_display_get_default());
  const char* type = offeredType(clipboard);
  if (type == nullptr) return std::nullopt;
  ClipboardContents contents{type, {}};
  PendingRead pending;
  const Deadline deadline(transferPatienceMs, [&pending] { g_cancellable_cancel(pending.cancellable.get()); });
  const char* types[] = {type, nullptr};
  gdk_clipboard_read_async(clipboard, types, G_PRIORITY_DEFAULT, pending.cancellable.get(), streamOpened, &pending);
  pending.awaitAnswer();
  if (pending.stream != nullptr) {
    contents.bytes.resize(byteLimit);
    g_input_stream_read_all_async(pending.stream.get(), contents.bytes.data(), byteLimit, G_PRIORITY_DEFAULT,
                                  pending.cancellable.get(), bytesRead, &pending);
    pending.awaitAnswer();
    contents.bytes.resize(pending.length);
  }
  contents.error = pending.error;
  return contents;
}

}  // namespace plumo
