#include "GtkCardWindow.h"

#include "CardModule.h"

plumo::CardWindow* plumo_card_window_open() {
  if (!plumo::GtkViewRealization::initialize()) return nullptr;
  return new plumo::GtkCardWindow();
}

namespace plumo {

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

}  // namespace plumo
