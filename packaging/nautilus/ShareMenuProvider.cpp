// GNOME Files (Nautilus 43, extension API 4) loads this module from its
// extension folder: "Share to Plumo" in the context menu of selected files and
// folders runs the plumo-share installed under the same prefix with their paths.
#include <gio/gio.h>
#include <glib-object.h>
#include <gmodule.h>
#include <libintl.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "GOwned.h"
#include "ModuleLocation.h"

// The header declares the module's entry points without C linkage.
extern "C" {
#include <nautilus-extension.h>
}

#define PLUMO_TYPE_SHARE_MENU_PROVIDER (plumo_share_menu_provider_get_type())
G_DECLARE_FINAL_TYPE(PlumoShareMenuProvider, plumo_share_menu_provider, PLUMO, SHARE_MENU_PROVIDER, GObject)

struct _PlumoShareMenuProvider {
  GObject parent_instance;
};

namespace plumo {

namespace {

constexpr const char* textDomain = "plumo-share";
constexpr const char* pathsKey = "plumo-paths";

// The prefix's files, from where this module lies.
std::filesystem::path besideThisModule(const char* relativePath) {
  static const char insideThisModule = 0;
  return ModuleLocation::beside(&insideThisModule, relativePath);
}

const std::string& shareProgram() {
  static const std::string program = besideThisModule(PLUMO_SHARE_PROGRAM_FROM_MODULE);
  return program;
}

// The local path of the file an item stands for: in Recent, Starred or search
// results the item's own location (recent:///…) has none, its activation
// location is the real file.
gchar* localPath(NautilusFileInfo* item) {
  const GOwned<gchar> uri(nautilus_file_info_get_activation_uri(item));
  const GOwned<GFile> location(g_file_new_for_uri(uri.get()));
  return g_file_get_path(location.get());
}

// The local path of every selected item, or nothing when one of them has none:
// plumo-share reads local files only, and a share leaves nothing out silently.
GOwnedStrv localPaths(GList* files) {
  if (files == nullptr) return nullptr;
  GOwned<GPtrArray> paths(g_ptr_array_new_with_free_func(g_free));
  for (GList* file = files; file != nullptr; file = file->next) {
    gchar* path = localPath(NAUTILUS_FILE_INFO(file->data));
    if (path == nullptr) return nullptr;
    g_ptr_array_add(paths.get(), path);
  }
  g_ptr_array_add(paths.get(), nullptr);
  return GOwnedStrv(reinterpret_cast<gchar**>(g_ptr_array_free(paths.release(), FALSE)));
}

// Runs plumo-share by its absolute path, never through a shell.
void share(gchar** paths) {
  std::vector<gchar*> argv{const_cast<gchar*>(shareProgram().c_str())};
  for (gchar** path = paths; *path != nullptr; ++path) argv.push_back(*path);
  argv.push_back(nullptr);
  GError* failure = nullptr;
  if (!g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, nullptr, &failure)) {
    const GOwned<GError> error(failure);
    g_warning("Share to Plumo: %s", error->message);
  }
}

void activated(NautilusMenuItem* item, gpointer) {
  share(static_cast<gchar**>(g_object_get_data(G_OBJECT(item), pathsKey)));
}

// The card's own title in the user's language.
const char* menuLabel() {
  const char* title = dgettext(textDomain, "title");
  return std::strcmp(title, "title") == 0 ? "Share to Plumo" : title;
}

GList* fileItems(NautilusMenuProvider*, GList* files) {
  GOwnedStrv paths = localPaths(files);
  if (!paths) return nullptr;
  NautilusMenuItem* item = nautilus_menu_item_new("PlumoShare::share", menuLabel(), nullptr, nullptr);
  g_object_set_data_full(G_OBJECT(item), pathsKey, paths.release(),
                         [](gpointer strings) { g_strfreev(static_cast<gchar**>(strings)); });
  g_signal_connect(item, "activate", G_CALLBACK(activated), nullptr);
  return g_list_append(nullptr, item);
}

}  // namespace

}  // namespace plumo

static void plumo_share_menu_provider_menu_provider_init(NautilusMenuProviderInterface* iface) {
  iface->get_file_items = plumo::fileItems;
}

G_DEFINE_DYNAMIC_TYPE_EXTENDED(PlumoShareMenuProvider, plumo_share_menu_provider, G_TYPE_OBJECT, 0,
                               G_IMPLEMENT_INTERFACE_DYNAMIC(NAUTILUS_TYPE_MENU_PROVIDER,
                                                             plumo_share_menu_provider_menu_provider_init))

static void plumo_share_menu_provider_class_init(PlumoShareMenuProviderClass*) {}

static void plumo_share_menu_provider_class_finalize(PlumoShareMenuProviderClass*) {}

static void plumo_share_menu_provider_init(PlumoShareMenuProvider*) {}

static GType providerTypes[1];

extern "C" {

G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* module) {
  plumo_share_menu_provider_register_type(module);
  providerTypes[0] = PLUMO_TYPE_SHARE_MENU_PROVIDER;
  bindtextdomain(plumo::textDomain, plumo::besideThisModule(PLUMO_LOCALE_DIR_FROM_MODULE).c_str());
  bind_textdomain_codeset(plumo::textDomain, "UTF-8");
}

G_MODULE_EXPORT void nautilus_module_shutdown() {}

G_MODULE_EXPORT void nautilus_module_list_types(const GType** types, int* count) {
  *types = providerTypes;
  *count = G_N_ELEMENTS(providerTypes);
}

}
