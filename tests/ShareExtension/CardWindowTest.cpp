// The card in a real window: run under xvfb-run (CTest label "gui").
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "GtkViewRealization.h"
#include "Localization.h"
#include "RecordingContext.h"
#include "RecordingWorkspace.h"
#include "ShareViewController.h"
#include "StackView.h"
#include "TemporaryDirectory.h"
#include "TestItemProvider.h"

namespace fs = std::filesystem;

namespace plumo {
namespace {

graphene_rect_t boundsIn(GtkWidget* widget, GtkWidget* root) {
  graphene_rect_t bounds;
  EXPECT_TRUE(gtk_widget_compute_bounds(widget, root, &bounds));
  return bounds;
}

bool themeHasIcon(GtkWidget* widget, const std::string& serialized) {
  GtkIconTheme* theme = gtk_icon_theme_get_for_display(gtk_widget_get_display(widget));
  GIcon* icon = g_icon_new_for_string(serialized.c_str(), nullptr);
  bool found = false;
  if (icon != nullptr && G_IS_THEMED_ICON(icon)) {
    for (const gchar* const* name = g_themed_icon_get_names(G_THEMED_ICON(icon)); *name != nullptr; ++name) {
      found = found || gtk_icon_theme_has_icon(theme, *name);
    }
  }
  if (icon != nullptr) g_object_unref(icon);
  return found;
}

// The window as the user sees it, through GTK's own renderer.
void savePng(GtkWidget* window, const fs::path& file) {
  const int width = gtk_widget_get_width(window);
  const int height = gtk_widget_get_height(window);
  GdkPaintable* paintable = gtk_widget_paintable_new(window);
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable, snapshot, width, height);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  ASSERT_NE(node, nullptr);
  const graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
  GdkTexture* texture = gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(window)), node, &bounds);
  fs::create_directories(file.parent_path());
  EXPECT_TRUE(gdk_texture_save_to_png(texture, file.c_str()));
  g_object_unref(texture);
  gsk_render_node_unref(node);
  g_object_unref(paintable);
}

class CardWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(GtkViewRealization::initialize()) << "no display: run under xvfb-run";
    Localization::setUp(PLUMO_BUNDLE_DIR);
  }

  testing::TemporaryDirectory temporary;
  testing::RecordingContext context;
  testing::RecordingWorkspace workspace;
  std::shared_ptr<ShareViewController> controller;
  std::unique_ptr<GtkViewRealization> realization;
  GtkWindow* window = nullptr;

  void SetUp() override {
    testing::writeFile(temporary / "Info.plist", "<plist version=\"1.0\"><dict/></plist>");
    workspace.hostIcon = Image{". GThemedIcon user-home", 30, 30};
    auto folder = std::make_shared<testing::TestItemProvider>(std::vector<std::string>{"public.folder"});
    context.items = {ExtensionItem{std::nullopt, std::vector<std::shared_ptr<ItemProvider>>{folder}}};
    controller = std::make_shared<ShareViewController>(temporary.path(), &context, workspace);
    controller->loadView();
    controller->viewWillAppear();
    realization = std::make_unique<GtkViewRealization>(controller->view());
    window = realization->window("Share to Plumo", controller->confirm);
    gtk_window_present(window);
    settle();
  }

  void TearDown() override { gtk_window_destroy(window); }

  // Lets GTK map, lay out and draw whatever changed.
  static void settle() {
    for (int turn = 0; turn < 200; ++turn) {
      while (g_main_context_iteration(nullptr, FALSE)) {
      }
      g_usleep(1000);
    }
  }

  GtkWidget* widget(const View& view) const { return realization->widget(view); }
  const StackView& column() const { return static_cast<const StackView&>(*controller->view()->subviews()[0]); }
  const StackView& row() const { return static_cast<const StackView&>(*column().arrangedSubviews()[0]); }
  GtkWidget* root() const { return realization->rootWidget(); }
};

TEST_F(CardWindowTest, TheCardHasItsFixedGeometry) {
  const auto card = boundsIn(root(), root());
  EXPECT_EQ(card.size.width, 236);
  EXPECT_EQ(card.size.height, 124);

  const auto& icons = row().arrangedSubviews();
  for (std::size_t index : {0u, 2u}) {
    const auto icon = boundsIn(widget(*icons[index]), root());
    EXPECT_EQ(icon.size.width, 30) << index;
    EXPECT_EQ(icon.size.height, 30) << index;
  }
  const auto arrow = boundsIn(widget(*icons[1]), root());
  EXPECT_EQ(arrow.size.width, 12);
  EXPECT_EQ(arrow.size.height, 12);

  const auto button = boundsIn(widget(*controller->confirm), root());
  const auto columnBounds = boundsIn(widget(column()), root());
  EXPECT_NEAR(card.size.width - (button.origin.x + button.size.width), 16, 0.5);
  EXPECT_NEAR(button.origin.y - (columnBounds.origin.y + columnBounds.size.height), 12, 0.5);
  EXPECT_NEAR(columnBounds.origin.y, 16, 0.5);
  EXPECT_NEAR(columnBounds.origin.x + columnBounds.size.width / 2, 118, 0.5);
  EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(widget(*controller->confirm))), Localization::text("dismiss"));
}

TEST_F(CardWindowTest, ALongStatusIsCutAtTheTailAndTheCardDoesNotGrow) {
  controller->status->setStringValue("Sending 42 photos to a very long album name that cannot possibly fit here");
  settle();
  GtkWidget* status = widget(*controller->status);
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(status)), controller->status->stringValue().c_str());
  EXPECT_TRUE(pango_layout_is_ellipsized(gtk_label_get_layout(GTK_LABEL(status))));
  EXPECT_LE(boundsIn(status, root()).size.width, 204);
  EXPECT_EQ(boundsIn(root(), root()).size.width, 236);
  EXPECT_EQ(boundsIn(root(), root()).size.height, 124);
  EXPECT_EQ(gtk_widget_get_width(GTK_WIDGET(window)), 236);
}

TEST_F(CardWindowTest, TheIconsExistInTheThemeAndCarryAccessibleNames) {
  const auto& icons = row().arrangedSubviews();
  EXPECT_EQ(static_cast<const ImageView&>(*icons[0]).image, ShareViewController::symbol("folder"));
  for (const auto& icon : icons) {
    const auto& image = static_cast<const ImageView&>(*icon).image;
    ASSERT_TRUE(image.has_value());
    EXPECT_TRUE(themeHasIcon(widget(*icon), image->icon)) << image->icon;
    EXPECT_FALSE(icon->accessibilityLabel.empty());
  }
}

// The window's shortcut for a key, among all its controllers.
GtkShortcut* shortcutFor(GtkWidget* window, guint keyval) {
  GtkShortcut* found = nullptr;
  GListModel* controllers = gtk_widget_observe_controllers(window);
  for (guint index = 0; index < g_list_model_get_n_items(controllers) && found == nullptr; ++index) {
    auto* controller = static_cast<GtkEventController*>(g_list_model_get_item(controllers, index));
    if (GTK_IS_SHORTCUT_CONTROLLER(controller)) {
      GListModel* shortcuts = G_LIST_MODEL(controller);
      for (guint item = 0; item < g_list_model_get_n_items(shortcuts) && found == nullptr; ++item) {
        auto* shortcut = static_cast<GtkShortcut*>(g_list_model_get_item(shortcuts, item));
        GtkShortcutTrigger* trigger = gtk_shortcut_get_trigger(shortcut);
        if (GTK_IS_KEYVAL_TRIGGER(trigger) && gtk_keyval_trigger_get_keyval(GTK_KEYVAL_TRIGGER(trigger)) == keyval) {
          found = shortcut;
        }
        g_object_unref(shortcut);
      }
    }
    g_object_unref(controller);
  }
  g_object_unref(controllers);
  return found;
}

TEST_F(CardWindowTest, EscapeAndTheButtonDismiss) {
  g_signal_emit_by_name(widget(*controller->confirm), "clicked");
  EXPECT_EQ(context.cancellations.size(), 1u);

  GtkShortcut* escape = shortcutFor(GTK_WIDGET(window), GDK_KEY_Escape);
  ASSERT_NE(escape, nullptr);
  gtk_shortcut_action_activate(gtk_shortcut_get_action(escape), GTK_SHORTCUT_ACTION_EXCLUSIVE, GTK_WIDGET(window),
                               nullptr);
  EXPECT_EQ(context.cancellations.size(), 2u);
}

TEST_F(CardWindowTest, ScreenshotsOfAFolderShareAndALongError) {
  savePng(GTK_WIDGET(window), fs::path(PLUMO_SCREENSHOT_DIR) / "card-folder.png");
  controller->status->setStringValue(Localization::text("error.queueFull") + " " + Localization::text("error.readFailed"));
  settle();
  savePng(GTK_WIDGET(window), fs::path(PLUMO_SCREENSHOT_DIR) / "card-long-error.png");
  EXPECT_TRUE(fs::file_size(fs::path(PLUMO_SCREENSHOT_DIR) / "card-long-error.png") > 0);
}

}  // namespace
}  // namespace plumo
