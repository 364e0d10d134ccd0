#pragma once

#include <gtk/gtk.h>
#include <map>
#include <memory>
#include <string>

#include "BuildIdentity.h"
#include "Button.h"
#include "GOwned.h"
#include "View.h"

namespace plumo {

// A window is owned by GTK's list of windows: its owner destroys it.
template <>
struct GRelease<GtkWindow> : GReleaseWith<gtk_window_destroy> {};

// Shows a tree of view objects with GTK 4: stack views become boxes, labels,
// buttons and image views their widgets, and a plain view with constraints a
// widget laid out by a GtkConstraintLayout. Labels keep following their text.
// The realization holds the root widget, and with it every widget it names.
class GtkViewRealization {
 public:
  static constexpr const char* applicationId = PLUMO_HOST_BUNDLE_ID ".share";

  // False when no display can be opened.
  static bool initialize();

  // Throws std::invalid_argument for a kind of view it cannot show.
  explicit GtkViewRealization(const std::shared_ptr<View>& root);

  GtkWidget* rootWidget() const { return root_.get(); }

  // An undecorated window of the root's fixed size, not yet presented. Escape
  // and closing the window click `dismiss`, as they dismiss any dialog.
  GOwned<GtkWindow> window(const std::string& title, const std::shared_ptr<Button>& dismiss) const;

 private:
  GtkWidget* realize(const std::shared_ptr<View>& view);
  GtkWidget* realizeStack(const std::shared_ptr<View>& view);
  GtkWidget* realizeConstrained(const std::shared_ptr<View>& view);
  void applyOwnSize(const View& view, GtkWidget* widget) const;
  void addConstraints(const View& root, GtkWidget* widget) const;
  const View* directChildContaining(const View& root, const View* view) const;

  std::map<const View*, GtkWidget*> widgets_;
  std::map<const View*, const View*> parents_;
  GOwned<GtkWidget> root_;
};

}  // namespace plumo
