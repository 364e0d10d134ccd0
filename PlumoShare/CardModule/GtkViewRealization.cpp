#include "GtkViewRealization.h"

#include <stdexcept>
#include <typeinfo>

#include "ImageView.h"
#include "Label.h"
#include "StackView.h"

// A widget whose layout manager is a GtkConstraintLayout, which only
// constrains its own direct children.
#define PLUMO_TYPE_CONSTRAINED_VIEW (plumo_constrained_view_get_type())
G_DECLARE_FINAL_TYPE(PlumoConstrainedView, plumo_constrained_view, PLUMO, CONSTRAINED_VIEW, GtkWidget)

struct _PlumoConstrainedView {
  GtkWidget parent_instance;
};

G_DEFINE_TYPE(PlumoConstrainedView, plumo_constrained_view, GTK_TYPE_WIDGET)

static void plumo_constrained_view_dispose(GObject* object) {
  while (GtkWidget* child = gtk_widget_get_first_child(GTK_WIDGET(object))) gtk_widget_unparent(child);
  G_OBJECT_CLASS(plumo_constrained_view_parent_class)->dispose(object);
}

static void plumo_constrained_view_class_init(PlumoConstrainedViewClass* viewClass) {
  G_OBJECT_CLASS(viewClass)->dispose = plumo_constrained_view_dispose;
  gtk_widget_class_set_layout_manager_type(GTK_WIDGET_CLASS(viewClass), GTK_TYPE_CONSTRAINT_LAYOUT);
}

static void plumo_constrained_view_init(PlumoConstrainedView*) {}

namespace plumo {

namespace {

using Attribute = LayoutConstraint::Attribute;

GtkConstraintAttribute gtkAttribute(Attribute attribute) {
  switch (attribute) {
    case Attribute::top: return GTK_CONSTRAINT_ATTRIBUTE_TOP;
    case Attribute::bottom: return GTK_CONSTRAINT_ATTRIBUTE_BOTTOM;
    case Attribute::leading: return GTK_CONSTRAINT_ATTRIBUTE_START;
    case Attribute::trailing: return GTK_CONSTRAINT_ATTRIBUTE_END;
    case Attribute::centerX: return GTK_CONSTRAINT_ATTRIBUTE_CENTER_X;
    case Attribute::centerY: return GTK_CONSTRAINT_ATTRIBUTE_CENTER_Y;
    case Attribute::width: return GTK_CONSTRAINT_ATTRIBUTE_WIDTH;
    case Attribute::height: return GTK_CONSTRAINT_ATTRIBUTE_HEIGHT;
  }
  return GTK_CONSTRAINT_ATTRIBUTE_NONE;
}

void dimIfSecondary(GtkWidget* widget, std::optional<Color> color) {
  if (color == Color::secondaryLabel || color == Color::tertiaryLabel) gtk_widget_add_css_class(widget, "dim-label");
}

// A text that may be cut at its tail stays whole in the tooltip and in the
// accessible description (GTK 4.10 and later no longer take one from the other).
void showText(GtkWidget* widget, const std::string& text, bool mayBeCut) {
  gtk_label_set_text(GTK_LABEL(widget), text.c_str());
  if (!mayBeCut) return;
  gtk_widget_set_tooltip_text(widget, text.c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, text.c_str(), -1);
}

GtkWidget* labelWidget(const std::shared_ptr<Label>& label) {
  const bool mayBeCut = label->lineBreakMode == Label::LineBreakMode::truncatingTail;
  GtkWidget* widget = gtk_label_new(nullptr);
  showText(widget, label->stringValue(), mayBeCut);
  gtk_label_set_single_line_mode(GTK_LABEL(widget), TRUE);
  if (mayBeCut) gtk_label_set_ellipsize(GTK_LABEL(widget), PANGO_ELLIPSIZE_END);
  if (label->alignment == Label::Alignment::center) {
    gtk_label_set_justify(GTK_LABEL(widget), GTK_JUSTIFY_CENTER);
    gtk_label_set_xalign(GTK_LABEL(widget), 0.5F);
  }
  dimIfSecondary(widget, label->textColor);
  // The widget follows the text for as long as either lives.
  const std::shared_ptr<GWeakRef> shown(g_new0(GWeakRef, 1), GRelease<GWeakRef>());
  g_weak_ref_init(shown.get(), widget);
  label->setObserver([shown, mayBeCut](const std::string& text) {
    if (const GOwned<GtkWidget> alive(static_cast<GtkWidget*>(g_weak_ref_get(shown.get()))); alive) {
      showText(alive.get(), text, mayBeCut);
    }
  });
  return widget;
}

using SharedButton = std::shared_ptr<Button>;

void clickButton(gpointer data) { (*static_cast<SharedButton*>(data))->performClick(); }

void releaseButton(gpointer data) { delete static_cast<SharedButton*>(data); }

GtkWidget* buttonWidget(const std::shared_ptr<Button>& button) {
  GtkWidget* widget = gtk_button_new_with_label(button->title.c_str());
  g_signal_connect_data(widget, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) { clickButton(data); }),
                        new SharedButton(button), +[](gpointer data, GClosure*) { releaseButton(data); },
                        GConnectFlags(0));
  return widget;
}

GtkWidget* imageWidget(const ImageView& view) {
  GtkWidget* widget = gtk_image_new();
  if (view.image && !view.image->icon.empty()) {
    if (const GOwned<GIcon> icon(g_icon_new_for_string(view.image->icon.c_str(), nullptr)); icon) {
      gtk_image_set_from_gicon(GTK_IMAGE(widget), icon.get());
    }
  }
  dimIfSecondary(widget, view.contentTintColor);
  return widget;
}

}  // namespace

// A window this small draws as fast with cairo, and cairo needs no GL context
// at start: the card appears sooner. Without GL, GDK also skips setting up
// EGL and GLX (llvmpipe where there is no GPU): a third of the start-up and
// 60 MB. GSK_RENDERER, when set, still decides.
//
// The window's class (WM_CLASS on X11, the application id on Wayland) is the
// program's name: the desktop entry's StartupWMClass names the same, so that
// docks, window lists and window rules match the card to the entry.
bool GtkViewRealization::initialize() {
  g_set_prgname(applicationId);
  if (g_getenv("GSK_RENDERER") == nullptr) {
    g_setenv("GSK_RENDERER", "cairo", TRUE);
    // GTK 4.16 took the switch out of GDK_DEBUG (where it now prints a warning) into GDK_DISABLE.
    if (gtk_get_minor_version() >= 16) {
      g_setenv("GDK_DISABLE", "gl", FALSE);
    } else {
      g_setenv("GDK_DEBUG", "gl-disable", FALSE);
    }
  }
  return gtk_init_check();
}

GtkViewRealization::GtkViewRealization(const std::shared_ptr<View>& root)
    : root_(GTK_WIDGET(g_object_ref_sink(realize(root)))) {}

// By the view's exact kind: a kind this does not know would otherwise show as an empty box.
GtkWidget* GtkViewRealization::realize(const std::shared_ptr<View>& view) {
  const std::type_info& kind = typeid(*view);
  GtkWidget* widget = nullptr;
  if (kind == typeid(Label)) {
    widget = labelWidget(std::static_pointer_cast<Label>(view));
  } else if (kind == typeid(Button)) {
    widget = buttonWidget(std::static_pointer_cast<Button>(view));
  } else if (kind == typeid(ImageView)) {
    widget = imageWidget(static_cast<const ImageView&>(*view));
  } else if (kind == typeid(StackView)) {
    widget = realizeStack(view);
  } else if (kind == typeid(View)) {
    widget = realizeConstrained(view);
  } else {
    throw std::invalid_argument(std::string("no widget for a view of type ") + kind.name());
  }
  if (!view->accessibilityLabel.empty()) {
    gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   view->accessibilityLabel.c_str(), -1);
  }
  applyOwnSize(*view, widget);
  widgets_[view.get()] = widget;
  return widget;
}

GtkWidget* GtkViewRealization::realizeStack(const std::shared_ptr<View>& view) {
  const auto& stack = static_cast<const StackView&>(*view);
  const bool vertical = stack.orientation == StackView::Orientation::vertical;
  GtkWidget* box = gtk_box_new(vertical ? GTK_ORIENTATION_VERTICAL : GTK_ORIENTATION_HORIZONTAL,
                               static_cast<int>(stack.spacing));
  for (const auto& arranged : stack.arrangedSubviews()) {
    parents_[arranged.get()] = view.get();
    GtkWidget* child = realize(arranged);
    if (stack.alignment == StackView::Alignment::centerX) gtk_widget_set_halign(child, GTK_ALIGN_CENTER);
    if (stack.alignment == StackView::Alignment::centerY) gtk_widget_set_valign(child, GTK_ALIGN_CENTER);
    gtk_box_append(GTK_BOX(box), child);
  }
  return box;
}

GtkWidget* GtkViewRealization::realizeConstrained(const std::shared_ptr<View>& view) {
  GtkWidget* widget = GTK_WIDGET(g_object_new(PLUMO_TYPE_CONSTRAINED_VIEW, nullptr));
  if (view->frame.width > 0 && view->frame.height > 0) {
    gtk_widget_set_size_request(widget, static_cast<int>(view->frame.width), static_cast<int>(view->frame.height));
  }
  for (const auto& child : view->subviews()) {
    parents_[child.get()] = view.get();
    gtk_widget_set_parent(realize(child), widget);
  }
  addConstraints(*view, widget);
  return widget;
}

// Constraints that a view activates on its own width or height fix its size.
void GtkViewRealization::applyOwnSize(const View& view, GtkWidget* widget) const {
  int width = -1;
  int height = -1;
  for (const auto& constraint : view.constraints()) {
    if (constraint.firstItem != &view || constraint.secondItem != nullptr) continue;
    if (constraint.relation != LayoutConstraint::Relation::equal) continue;
    if (constraint.firstAttribute == Attribute::width) width = static_cast<int>(constraint.constant);
    if (constraint.firstAttribute == Attribute::height) height = static_cast<int>(constraint.constant);
  }
  if (width < 0 && height < 0) return;
  gtk_widget_set_size_request(widget, width, height);
  if (GTK_IS_IMAGE(widget) && width > 0 && height > 0) gtk_image_set_pixel_size(GTK_IMAGE(widget), std::min(width, height));
}

const View* GtkViewRealization::directChildContaining(const View& root, const View* view) const {
  while (view != nullptr && view != &root) {
    const auto parent = parents_.find(view);
    if (parent == parents_.end()) return nullptr;
    if (parent->second == &root) return view;
    view = parent->second;
  }
  return nullptr;
}

// GtkConstraintLayout ignores constraints on anything but its direct children.
// A bound on the width of a view inside a child stack therefore becomes the
// child's width, required equal: with "<=" alone GTK would allocate the
// child its minimum width, and the text would be cut at once.
void GtkViewRealization::addConstraints(const View& root, GtkWidget* widget) const {
  GtkLayoutManager* layout = gtk_widget_get_layout_manager(widget);
  const auto target = [&](const View* item) -> gpointer {
    return item == &root ? nullptr : widgets_.at(directChildContaining(root, item));
  };
  for (const auto& constraint : root.constraints()) {
    const View* child = directChildContaining(root, constraint.firstItem);
    const bool nested = child != nullptr && child != constraint.firstItem;
    GtkConstraintRelation relation =
        constraint.relation == LayoutConstraint::Relation::equal || nested ? GTK_CONSTRAINT_RELATION_EQ
                                                                           : GTK_CONSTRAINT_RELATION_LE;
    GtkConstraint* gtkConstraint =
        constraint.secondItem == nullptr
            ? gtk_constraint_new_constant(target(constraint.firstItem), gtkAttribute(constraint.firstAttribute),
                                          relation, constraint.constant, GTK_CONSTRAINT_STRENGTH_REQUIRED)
            : gtk_constraint_new(target(constraint.firstItem), gtkAttribute(constraint.firstAttribute), relation,
                                 target(constraint.secondItem), gtkAttribute(constraint.secondAttribute), 1.0,
                                 constraint.constant, GTK_CONSTRAINT_STRENGTH_REQUIRED);
    gtk_constraint_layout_add_constraint(GTK_CONSTRAINT_LAYOUT(layout), gtkConstraint);
  }
}

GOwned<GtkWindow> GtkViewRealization::window(const std::string& title, const std::shared_ptr<Button>& dismiss) const {
  GOwned<GtkWindow> owned(GTK_WINDOW(gtk_window_new()));
  GtkWindow* window = owned.get();
  gtk_window_set_title(window, title.c_str());
  gtk_window_set_decorated(window, FALSE);
  gtk_window_set_resizable(window, FALSE);
  gtk_window_set_child(window, root_.get());

  auto* button = new SharedButton(dismiss);
  g_object_set_data_full(G_OBJECT(window), "plumo-dismiss", button, releaseButton);
  GtkEventController* shortcuts = gtk_shortcut_controller_new();
  gtk_shortcut_controller_add_shortcut(
      GTK_SHORTCUT_CONTROLLER(shortcuts),
      gtk_shortcut_new(gtk_keyval_trigger_new(GDK_KEY_Escape, GdkModifierType(0)),
                       gtk_callback_action_new(
                           [](GtkWidget*, GVariant*, gpointer data) -> gboolean {
                             clickButton(data);
                             return TRUE;
                           },
                           button, nullptr)));
  gtk_widget_add_controller(GTK_WIDGET(window), shortcuts);
  g_signal_connect(window, "close-request", G_CALLBACK(+[](GtkWindow*, gpointer data) -> gboolean {
                     clickButton(data);
                     return TRUE;
                   }),
                   button);
  return owned;
}

}  // namespace plumo
