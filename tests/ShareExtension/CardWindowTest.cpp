// The card in a real window: run under xvfb-run, or in a headless sway session at
// scale 2 (CTest label "gui").
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>

#include "GtkViewRealization.h"
#include "Localization.h"
#include "RecordingContext.h"
#include "RecordingWorkspace.h"
#include "ShareImportFailure.h"
#include "ShareViewController.h"
#include "StackView.h"
#include "TemporaryDirectory.h"
#include "TestItemProvider.h"

namespace fs = std::filesystem;

namespace plumo {

template <>
struct GRelease<GskRenderNode> : GReleaseWith<gsk_render_node_unref> {};

namespace {

graphene_rect_t boundsIn(GtkWidget* widget, GtkWidget* root) {
  graphene_rect_t bounds;
  EXPECT_TRUE(gtk_widget_compute_bounds(widget, root, &bounds));
  return bounds;
}

bool themeHasIcon(GtkWidget* widget, const std::string& serialized) {
  GtkIconTheme* theme = gtk_icon_theme_get_for_display(gtk_widget_get_display(widget));
  const GOwned<GIcon> icon(g_icon_new_for_string(serialized.c_str(), nullptr));
  bool found = false;
  if (icon && G_IS_THEMED_ICON(icon.get())) {
    for (const gchar* const* name = g_themed_icon_get_names(G_THEMED_ICON(icon.get())); *name != nullptr; ++name) {
      found = found || gtk_icon_theme_has_icon(theme, *name);
    }
  }
  return found;
}

int scaleOf(GtkWidget* window) { return gdk_surface_get_scale_factor(gtk_native_get_surface(GTK_NATIVE(window))); }

// The window as the user sees it, through GTK's own renderer, in the screen's pixels.
void savePng(GtkWidget* window, const fs::path& file) {
  const int scale = scaleOf(window);
  const int width = gtk_widget_get_width(window);
  const int height = gtk_widget_get_height(window);
  const GOwned<GdkPaintable> paintable(gtk_widget_paintable_new(window));
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gtk_snapshot_scale(snapshot, static_cast<float>(scale), static_cast<float>(scale));
  gdk_paintable_snapshot(paintable.get(), snapshot, width, height);
  const GOwned<GskRenderNode> node(gtk_snapshot_free_to_node(snapshot));
  ASSERT_NE(node, nullptr);
  const graphene_rect_t bounds =
      GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width * scale), static_cast<float>(height * scale));
  const GOwned<GdkTexture> texture(
      gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(window)), node.get(), &bounds));
  fs::create_directories(file.parent_path());
  EXPECT_TRUE(gdk_texture_save_to_png(texture.get(), file.c_str()));
}

// The text of a quoted .po string: "..." with backslash escapes.
std::string unquoted(std::string_view quoted) {
  std::string text;
  for (std::size_t index = 1; index + 1 < quoted.size(); ++index) {
    if (quoted[index] != '\\' || index + 2 >= quoted.size()) {
      text += quoted[index];
      continue;
    }
    const char escaped = quoted[++index];
    text += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
  }
  return text;
}

// A catalog's texts by key, read from its .po file, whose entries are one line each.
std::map<std::string, std::string> catalogTexts(const fs::path& po) {
  std::map<std::string, std::string> texts;
  std::ifstream input(po);
  std::string line;
  std::string key;
  while (std::getline(input, line)) {
    if (line.starts_with("msgid ")) key = unquoted(line.substr(6));
    if (line.starts_with("msgstr ") && !key.empty()) texts[key] = unquoted(line.substr(7));
  }
  return texts;
}

// Every catalog by its language.
std::map<std::string, std::map<std::string, std::string>> catalogs() {
  std::map<std::string, std::map<std::string, std::string>> all;
  for (const auto& entry : fs::directory_iterator(PLUMO_PO_DIR)) {
    if (entry.path().extension() == ".po") all[entry.path().stem()] = catalogTexts(entry.path());
  }
  return all;
}

// The keys of every text the status line shows.
std::vector<std::string> statusKeys() {
  std::vector<std::string> keys{"preparing", "openPlumo", "itemMissing"};
  for (int index = 0; index < ShareImportFailure::caseCount; ++index) {
    keys.push_back("error." + std::string(ShareImportFailure(ShareImportFailure::Case(index)).rawValue()));
  }
  return keys;
}

constexpr int statusWidth = 204;

class CardWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // GTK's test accessibility backend keeps the accessible properties, where
    // "none" keeps nothing, and needs no session bus either.
    g_setenv("GTK_A11Y", "test", TRUE);
    ASSERT_TRUE(GtkViewRealization::initialize()) << "no display: run under xvfb-run";
    if (const char* languages = g_getenv("LANGUAGE")) userLanguages = languages;
    Localization::setUp(PLUMO_BUNDLE_DIR);
  }

  static inline std::optional<std::string> userLanguages;

  // Texts in other languages: gettext forgets what it found only when the locale is set again.
  static void useLanguages(const std::optional<std::string>& languages) {
    if (languages) {
      g_setenv("LANGUAGE", languages->c_str(), TRUE);
    } else {
      g_unsetenv("LANGUAGE");
    }
    Localization::setUp(PLUMO_BUNDLE_DIR);
  }

  testing::TemporaryDirectory temporary;
  testing::RecordingContext context;
  testing::RecordingWorkspace workspace;
  std::shared_ptr<ShareViewController> controller;
  std::unique_ptr<GtkViewRealization> realization;
  GOwned<GtkWindow> window;

  void SetUp() override {
    testing::writeFile(temporary / "Info.plist", "<plist version=\"1.0\"><dict/></plist>");
    workspace.hostIcon = Image{". GThemedIcon user-home", 30, 30};
    auto folder = std::make_shared<testing::TestItemProvider>(std::vector<std::string>{"public.folder"});
    context.items = {ExtensionItem{std::nullopt, std::vector<std::shared_ptr<ItemProvider>>{folder}}};
    showCard();
  }

  void TearDown() override {
    window.reset();
    useLanguages(userLanguages);
  }

  void showCard() {
    controller = std::make_shared<ShareViewController>(temporary.path(), &context, workspace);
    controller->loadView();
    controller->viewWillAppear();
    realization = std::make_unique<GtkViewRealization>(controller->view());
    window = realization->window("Share to Plumo", controller->dismiss);
    gtk_window_present(window.get());
    settle();
  }

  // The card again, built in another language.
  void showCardIn(const std::string& language) {
    window.reset();
    useLanguages(language);
    showCard();
  }

  // Lets GTK map, lay out and draw whatever changed.
  static void settle() {
    for (int turn = 0; turn < 200; ++turn) {
      while (g_main_context_iteration(nullptr, FALSE)) {
      }
      g_usleep(1000);
    }
  }

  // The widget that shows `target`, found as a person inspecting the card would: the
  // widgets keep the views' tree, child for child, in order.
  static GtkWidget* widgetShowing(const View& target, const View& view, GtkWidget* widget) {
    if (&view == &target) return widget;
    const auto* stack = dynamic_cast<const StackView*>(&view);
    GtkWidget* child = gtk_widget_get_first_child(widget);
    for (const auto& subview : stack ? stack->arrangedSubviews() : view.subviews()) {
      if (GtkWidget* found = widgetShowing(target, *subview, child)) return found;
      child = gtk_widget_get_next_sibling(child);
    }
    return nullptr;
  }
  GtkWidget* widget(const View& view) const { return widgetShowing(view, *controller->view(), root()); }
  const StackView& column() const { return static_cast<const StackView&>(*controller->view()->subviews()[0]); }
  const StackView& row() const { return static_cast<const StackView&>(*column().arrangedSubviews()[0]); }
  GtkWidget* root() const { return realization->rootWidget(); }
};

TEST_F(CardWindowTest, TheCardHasItsFixedGeometry) {
  const auto card = boundsIn(root(), root());
  EXPECT_EQ(card.size.width, 236);
  EXPECT_EQ(card.size.height, 124);
  EXPECT_EQ(ShareViewController::cardSize.width, card.size.width);
  EXPECT_EQ(ShareViewController::cardSize.height, card.size.height);

  const auto& icons = row().arrangedSubviews();
  for (std::size_t index : {0u, 2u}) {
    const auto icon = boundsIn(widget(*icons[index]), root());
    EXPECT_EQ(icon.size.width, 30) << index;
    EXPECT_EQ(icon.size.height, 30) << index;
  }
  const auto arrow = boundsIn(widget(*icons[1]), root());
  EXPECT_EQ(arrow.size.width, 12);
  EXPECT_EQ(arrow.size.height, 12);

  const auto button = boundsIn(widget(*controller->dismiss), root());
  const auto columnBounds = boundsIn(widget(column()), root());
  EXPECT_NEAR(card.size.width - (button.origin.x + button.size.width), 16, 0.5);
  EXPECT_NEAR(button.origin.y - (columnBounds.origin.y + columnBounds.size.height), 12, 0.5);
  EXPECT_NEAR(columnBounds.origin.y, 16, 0.5);
  EXPECT_NEAR(columnBounds.origin.x + columnBounds.size.width / 2, 118, 0.5);
  EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(widget(*controller->dismiss))), Localization::text("dismiss"));
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
  EXPECT_EQ(gtk_widget_get_width(GTK_WIDGET(window.get())), 236);
}

// Whether fontconfig has the family itself, not a stand-in.
bool fontInstalled(GtkWidget* widget, const std::string& family) {
  PangoFontFamily** families = nullptr;
  int count = 0;
  pango_context_list_families(gtk_widget_get_pango_context(widget), &families, &count);
  const bool found = std::any_of(families, families + count, [&](PangoFontFamily* candidate) {
    return family == pango_font_family_get_name(candidate);
  });
  g_free(families);
  return found;
}

// Laid out in the status line's own font, and in the UI fonts of GNOME and KDE,
// no text of any catalog is cut; the words of the desktop entries ("desktop.…"),
// of the KDE plugin ("plugin.…") and of the browser extension ("browser.…") never
// show on the card.
TEST_F(CardWindowTest, EveryTextOfEveryCatalogFitsTheStatusLine) {
  GtkWidget* status = widget(*controller->status);
  GtkSettings* settings = gtk_widget_get_settings(status);
  const GOwned<gchar> ownFont([&] {
    gchar* name = nullptr;
    g_object_get(settings, "gtk-font-name", &name, nullptr);
    return name;
  }());
  const auto all = catalogs();
  ASSERT_TRUE(all.contains("en") && all.contains("de"));
  for (const std::string& font : {std::string(ownFont.get()), std::string("Cantarell 11"), std::string("Noto Sans 10")}) {
    const std::string family = font.substr(0, font.rfind(' '));
    ASSERT_TRUE(fontInstalled(status, family)) << family << " is not installed";
    g_object_set(settings, "gtk-font-name", font.c_str(), nullptr);
    settle();
    for (const auto& [language, texts] : all) {
      for (const auto& key : statusKeys()) EXPECT_TRUE(texts.contains(key)) << language << " lacks " << key;
      for (const auto& [key, text] : texts) {
        if (key.starts_with("desktop.") || key.starts_with("plugin.") || key.starts_with("browser.")) continue;
        const GOwned<PangoLayout> layout(gtk_widget_create_pango_layout(status, text.c_str()));
        int width = 0;
        pango_layout_get_pixel_size(layout.get(), &width, nullptr);
        pango_layout_set_width(layout.get(), statusWidth * PANGO_SCALE);
        pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
        EXPECT_FALSE(pango_layout_is_ellipsized(layout.get()))
            << font << ": " << language << " " << key << " \"" << text << "\" is " << width << " wide";
      }
    }
  }
  g_object_set(settings, "gtk-font-name", ownFont.get(), nullptr);
  settle();
}

TEST_F(CardWindowTest, TheWholeStatusIsInTheTooltipAndTheAccessibleDescription) {
  GtkWidget* status = widget(*controller->status);
  for (const std::string& text :
       {Localization::text("preparing"), std::string("A status far too long for the line of the card")}) {
    controller->status->setStringValue(text);
    EXPECT_STREQ(gtk_widget_get_tooltip_text(status), text.c_str());
    const GOwned<char> mismatch(
        gtk_test_accessible_check_property(GTK_ACCESSIBLE(status), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, text.c_str()));
    EXPECT_FALSE(mismatch) << "the accessible description is " << mismatch.get();
  }
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

// The file of the icon the theme shows for an image view.
std::string shownIconFile(GtkWidget* widget, const std::string& serialized) {
  GtkIconTheme* theme = gtk_icon_theme_get_for_display(gtk_widget_get_display(widget));
  const GOwned<GIcon> icon(g_icon_new_for_string(serialized.c_str(), nullptr));
  const GOwned<GtkIconPaintable> paintable(
      gtk_icon_theme_lookup_by_gicon(theme, icon.get(), 12, 1, GTK_TEXT_DIR_LTR, GtkIconLookupFlags(0)));
  const GOwned<GFile> file(gtk_icon_paintable_get_file(paintable.get()));
  const GOwned<char> name(file ? g_file_get_basename(file.get()) : nullptr);
  return name ? name.get() : "";
}

// Adwaita's pan-end is a filled triangle; the card points with a chevron.
TEST_F(CardWindowTest, TheArrowIsAChevron) {
  const auto& arrow = static_cast<const ImageView&>(*row().arrangedSubviews()[1]);
  ASSERT_TRUE(arrow.image.has_value());
  EXPECT_TRUE(shownIconFile(widget(arrow), arrow.image->icon).starts_with("go-next-symbolic."));
}

// A kind of view the realization cannot show is refused, not shown as an empty box.
TEST_F(CardWindowTest, AViewOfAnUnknownKindIsRefused) {
  class Unknown : public View {};
  EXPECT_THROW(GtkViewRealization(std::make_shared<Unknown>()), std::invalid_argument);
}

// The window's shortcut for a key, among all its controllers.
GtkShortcut* shortcutFor(GtkWidget* window, guint keyval) {
  GtkShortcut* found = nullptr;
  const GOwned<GListModel> controllers(gtk_widget_observe_controllers(window));
  for (guint index = 0; index < g_list_model_get_n_items(controllers.get()) && found == nullptr; ++index) {
    const GOwned<GtkEventController> controller(
        static_cast<GtkEventController*>(g_list_model_get_item(controllers.get(), index)));
    if (!GTK_IS_SHORTCUT_CONTROLLER(controller.get())) continue;
    GListModel* shortcuts = G_LIST_MODEL(controller.get());
    for (guint item = 0; item < g_list_model_get_n_items(shortcuts) && found == nullptr; ++item) {
      const GOwned<GtkShortcut> shortcut(static_cast<GtkShortcut*>(g_list_model_get_item(shortcuts, item)));
      GtkShortcutTrigger* trigger = gtk_shortcut_get_trigger(shortcut.get());
      if (GTK_IS_KEYVAL_TRIGGER(trigger) && gtk_keyval_trigger_get_keyval(GTK_KEYVAL_TRIGGER(trigger)) == keyval) {
        found = shortcut.get();
      }
    }
  }
  return found;
}

TEST_F(CardWindowTest, EscapeAndTheButtonDismiss) {
  g_signal_emit_by_name(widget(*controller->dismiss), "clicked");
  EXPECT_EQ(context.cancellations, 1);

  GtkShortcut* escape = shortcutFor(GTK_WIDGET(window.get()), GDK_KEY_Escape);
  ASSERT_NE(escape, nullptr);
  gtk_shortcut_action_activate(gtk_shortcut_get_action(escape), GTK_SHORTCUT_ACTION_EXCLUSIVE,
                               GTK_WIDGET(window.get()), nullptr);
  EXPECT_EQ(context.cancellations, 2);
}

// Where this screen's pictures go: at scale 1 the folder itself, else a folder per scale.
fs::path screenshotsOf(GtkWidget* window) {
  const int scale = scaleOf(window);
  return scale == 1 ? fs::path(PLUMO_SCREENSHOT_DIR) : fs::path(PLUMO_SCREENSHOT_DIR) / ("scale-" + std::to_string(scale));
}

TEST_F(CardWindowTest, ScreenshotsOfAFolderShareAndALongError) {
  const fs::path screenshots = screenshotsOf(GTK_WIDGET(window.get()));
  savePng(GTK_WIDGET(window.get()), screenshots / "card-folder.png");
  controller->status->setStringValue(Localization::text("error.queueFull") + " " + Localization::text("error.readFailed"));
  settle();
  savePng(GTK_WIDGET(window.get()), screenshots / "card-long-error.png");
  EXPECT_TRUE(fs::file_size(screenshots / "card-long-error.png") > 0);
}

// One picture per status text and language, each shown whole on a card of its size.
TEST_F(CardWindowTest, ScreenshotsOfEveryStatusInEveryLanguage) {
  for (const auto& [language, texts] : catalogs()) {
    showCardIn(language);
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(widget(*controller->dismiss))), texts.at("dismiss")) << language;
    GtkWidget* status = widget(*controller->status);
    for (const auto& key : statusKeys()) {
      const std::string text = Localization::text(key);
      EXPECT_EQ(text, texts.at(key)) << language;
      controller->status->setStringValue(text);
      settle();
      EXPECT_FALSE(pango_layout_is_ellipsized(gtk_label_get_layout(GTK_LABEL(status)))) << language << " " << key;
      const int scale = scaleOf(GTK_WIDGET(window.get()));
      const fs::path picture = screenshotsOf(GTK_WIDGET(window.get())) / language / (key + ".png");
      savePng(GTK_WIDGET(window.get()), picture);
      const GOwned<GdkTexture> texture(gdk_texture_new_from_filename(picture.c_str(), nullptr));
      ASSERT_NE(texture, nullptr) << picture;
      EXPECT_EQ(gdk_texture_get_width(texture.get()), 236 * scale) << picture;
      EXPECT_EQ(gdk_texture_get_height(texture.get()), 124 * scale) << picture;
    }
  }
}

}  // namespace
}  // namespace plumo
