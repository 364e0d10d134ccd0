// The GNOME Files extension, installed under a prefix of its own and loaded the way
// Nautilus 43 loads it, without Nautilus: a type module opens it, and file infos of
// our own stand in for Nautilus's files.
#include <dlfcn.h>
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

extern "C" {
#include <nautilus-extension.h>

extern int _nl_msg_cat_cntr;
}

#include "Files.h"
#include "GOwned.h"
#include "RunningProgram.h"
#include "TemporaryDirectory.h"

// A selected file as Nautilus describes it to extensions: here only a location
// and the file it stands for, which is the location itself unless it is set.
#define PLUMO_TYPE_TEST_FILE_INFO (plumo_test_file_info_get_type())
G_DECLARE_FINAL_TYPE(PlumoTestFileInfo, plumo_test_file_info, PLUMO, TEST_FILE_INFO, GObject)

struct _PlumoTestFileInfo {
  GObject parent_instance;
  GFile* location;
  GFile* activation;
};

static GFile* plumo_test_file_info_location(NautilusFileInfo* info) {
  return G_FILE(g_object_ref(PLUMO_TEST_FILE_INFO(info)->location));
}

static void plumo_test_file_info_interface_init(NautilusFileInfoInterface* iface) {
  iface->is_gone = [](NautilusFileInfo*) -> gboolean { return FALSE; };
  iface->get_location = plumo_test_file_info_location;
  iface->get_uri = [](NautilusFileInfo* info) { return g_file_get_uri(PLUMO_TEST_FILE_INFO(info)->location); };
  iface->get_activation_uri = [](NautilusFileInfo* info) {
    auto* self = PLUMO_TEST_FILE_INFO(info);
    return g_file_get_uri(self->activation != nullptr ? self->activation : self->location);
  };
  iface->get_name = [](NautilusFileInfo* info) { return g_file_get_basename(PLUMO_TEST_FILE_INFO(info)->location); };
  iface->get_uri_scheme = [](NautilusFileInfo* info) {
    return g_file_get_uri_scheme(PLUMO_TEST_FILE_INFO(info)->location);
  };
  iface->get_file_type = [](NautilusFileInfo* info) {
    return g_file_query_file_type(PLUMO_TEST_FILE_INFO(info)->location, G_FILE_QUERY_INFO_NONE, nullptr);
  };
  iface->is_directory = [](NautilusFileInfo* info) -> gboolean {
    return nautilus_file_info_get_file_type(info) == G_FILE_TYPE_DIRECTORY;
  };
}

G_DEFINE_TYPE_WITH_CODE(PlumoTestFileInfo, plumo_test_file_info, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(NAUTILUS_TYPE_FILE_INFO, plumo_test_file_info_interface_init))

static void plumo_test_file_info_finalize(GObject* object) {
  g_clear_object(&PLUMO_TEST_FILE_INFO(object)->location);
  g_clear_object(&PLUMO_TEST_FILE_INFO(object)->activation);
  G_OBJECT_CLASS(plumo_test_file_info_parent_class)->finalize(object);
}

static void plumo_test_file_info_class_init(PlumoTestFileInfoClass* infoClass) {
  G_OBJECT_CLASS(infoClass)->finalize = plumo_test_file_info_finalize;
}

static void plumo_test_file_info_init(PlumoTestFileInfo*) {}

// Opens the extension and hands it the module to register its types with, as
// Nautilus's own type module does.
#define PLUMO_TYPE_TEST_TYPE_MODULE (plumo_test_type_module_get_type())
G_DECLARE_FINAL_TYPE(PlumoTestTypeModule, plumo_test_type_module, PLUMO, TEST_TYPE_MODULE, GTypeModule)

struct _PlumoTestTypeModule {
  GTypeModule parent_instance;
  const char* path;
  void* library;
};

G_DEFINE_TYPE(PlumoTestTypeModule, plumo_test_type_module, G_TYPE_TYPE_MODULE)

static gboolean plumo_test_type_module_load(GTypeModule* module) {
  auto* self = PLUMO_TEST_TYPE_MODULE(module);
  if (self->library == nullptr) self->library = dlopen(self->path, RTLD_NOW | RTLD_LOCAL);
  if (self->library == nullptr) return FALSE;
  auto* initialize = reinterpret_cast<void (*)(GTypeModule*)>(dlsym(self->library, "nautilus_module_initialize"));
  if (initialize == nullptr) return FALSE;
  initialize(module);
  return TRUE;
}

// Like Nautilus, the library stays loaded: its types outlive any use of the module.
static void plumo_test_type_module_unload(GTypeModule*) {}

static void plumo_test_type_module_class_init(PlumoTestTypeModuleClass* moduleClass) {
  G_TYPE_MODULE_CLASS(moduleClass)->load = plumo_test_type_module_load;
  G_TYPE_MODULE_CLASS(moduleClass)->unload = plumo_test_type_module_unload;
}

static void plumo_test_type_module_init(PlumoTestTypeModule*) {}

namespace fs = std::filesystem;

namespace plumo {
namespace {

NautilusFileInfo* fileInfo(GFile* location, GFile* activation = nullptr) {
  auto* info = PLUMO_TEST_FILE_INFO(g_object_new(PLUMO_TYPE_TEST_FILE_INFO, nullptr));
  info->location = location;
  info->activation = activation;
  return NAUTILUS_FILE_INFO(info);
}

std::string label(NautilusMenuItem* item) {
  gchar* text = nullptr;
  g_object_get(item, "label", &text, nullptr);
  const GOwned<gchar> owned(text);
  return owned ? owned.get() : "";
}

class ShareMenuProviderTest : public ::testing::Test {
 protected:
  // The extension as `cmake --install --prefix` puts it elsewhere than the build's prefix,
  // with a recorder standing in for that prefix's plumo-share.
  static void SetUpTestSuite() {
    const auto installed = testing::runProgram(
        {PLUMO_CMAKE, "--install", PLUMO_BUILD_DIR, "--prefix", prefix, "--component", "nautilus"});
    ASSERT_EQ(installed.exitStatus, 0) << installed.standardError;
    fs::create_directories(prefix / "bin");
    fs::copy_file(PLUMO_RECORDER, program);
    fs::copy(fs::path(PLUMO_BUNDLE_DIR) / "locale", prefix / "share/plumo-share/locale", fs::copy_options::recursive);
    module = G_TYPE_MODULE(g_object_new(PLUMO_TYPE_TEST_TYPE_MODULE, nullptr));
    PLUMO_TEST_TYPE_MODULE(module)->path = extension.c_str();
    g_type_module_set_name(module, "plumo-share-nautilus");
    ASSERT_TRUE(g_type_module_use(module)) << dlerror();
    auto* listTypes = reinterpret_cast<void (*)(const GType**, int*)>(
        dlsym(PLUMO_TEST_TYPE_MODULE(module)->library, "nautilus_module_list_types"));
    ASSERT_NE(listTypes, nullptr);
    const GType* types = nullptr;
    int count = 0;
    listTypes(&types, &count);
    for (int index = 0; index < count; ++index) {
      if (g_type_is_a(types[index], NAUTILUS_TYPE_MENU_PROVIDER)) providerType = types[index];
    }
    ASSERT_NE(providerType, G_TYPE_INVALID) << "the extension offers no menu provider";
  }

  static inline testing::TemporaryDirectory root;
  static inline const fs::path prefix = root / "a prefix";
  static inline const fs::path program = prefix / "bin/plumo-share";
  static inline const std::string extension = prefix / PLUMO_NAUTILUS_EXTENSION_DIR / "plumo-share-nautilus.so";
  static inline GTypeModule* module = nullptr;
  static inline GType providerType = G_TYPE_INVALID;

  testing::TemporaryDirectory temporary;
  NautilusMenuProvider* provider = nullptr;
  GList* selection = nullptr;

  void SetUp() override {
    provider = NAUTILUS_MENU_PROVIDER(g_object_new(providerType, nullptr));
    g_setenv("PLUMO_TEST_RECORD", (temporary / "record").c_str(), TRUE);
  }

  void TearDown() override {
    g_list_free_full(selection, g_object_unref);
    g_object_unref(provider);
  }

  void select(GFile* location, GFile* activation = nullptr) {
    selection = g_list_append(selection, fileInfo(location, activation));
  }

  fs::path selectLocal(const std::string& name, bool folder = false) {
    const fs::path path = temporary / name;
    folder ? fs::create_directory(path) : (testing::writeFile(path, "shared"), true);
    select(g_file_new_for_path(path.c_str()));
    return path;
  }

  // What the item ran, once the program has written it down.
  std::vector<std::string> recordedCommand() const {
    const fs::path record = temporary / "record";
    for (int wait = 0; wait < 2000 && !fs::exists(record); ++wait) g_usleep(5000);
    std::vector<std::string> command;
    const std::string bytes = testing::readFile(record);
    for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
      command.push_back(bytes.substr(start, end - start));
    }
    return command;
  }
};

TEST_F(ShareMenuProviderTest, OneItemSharesEverySelectedFileAndFolderByItsPath) {
  const fs::path report = selectLocal("a report.pdf");
  const fs::path odd = selectLocal("-odd name\nwith a line feed");
  const fs::path photos = selectLocal("Photos", true);

  GList* items = nautilus_menu_provider_get_file_items(provider, selection);
  ASSERT_EQ(g_list_length(items), 1u);
  auto* item = NAUTILUS_MENU_ITEM(items->data);
  EXPECT_EQ(label(item), "Share to Plumo");

  nautilus_menu_item_activate(item);
  EXPECT_EQ(recordedCommand(), (std::vector<std::string>{program, report, odd, photos}));
  nautilus_menu_item_list_free(items);
}

// Recent, Starred and search results list recent:///… and the like, which stand for real files.
TEST_F(ShareMenuProviderTest, AnItemOfRecentSharesTheFileItStandsFor) {
  const fs::path report = temporary / "report.pdf";
  testing::writeFile(report, "shared");
  select(g_file_new_for_uri("recent:///file%3A%2F%2F%2Freport.pdf"), g_file_new_for_path(report.c_str()));

  GList* items = nautilus_menu_provider_get_file_items(provider, selection);
  ASSERT_EQ(g_list_length(items), 1u);
  nautilus_menu_item_activate(NAUTILUS_MENU_ITEM(items->data));
  EXPECT_EQ(recordedCommand(), (std::vector<std::string>{program, report}));
  nautilus_menu_item_list_free(items);
}

TEST_F(ShareMenuProviderTest, NoItemWithoutASelectionOrForAnItemWithoutALocalPath) {
  EXPECT_EQ(nautilus_menu_provider_get_file_items(provider, nullptr), nullptr);

  selectLocal("kept.txt");
  select(g_file_new_for_uri("trash:///deleted.txt"));
  EXPECT_EQ(nautilus_menu_provider_get_file_items(provider, selection), nullptr);

  const GOwned<NautilusFileInfo> folder(fileInfo(g_file_new_for_path(temporary.path().c_str())));
  EXPECT_EQ(nautilus_menu_provider_get_background_items(provider, folder.get()), nullptr);
}

// Nautilus runs in the user's locale; gettext follows it (scripts/install-deps --test
// generates de_DE.UTF-8).
TEST_F(ShareMenuProviderTest, TheItemSpeaksTheUsersLanguage) {
  selectLocal("Bericht.pdf");
  g_unsetenv("LANGUAGE");
  for (const auto& [locale, expected] :
       {std::pair{"de_DE.UTF-8", "Mit Plumo teilen"}, std::pair{"C.UTF-8", "Share to Plumo"}}) {
    ASSERT_NE(std::setlocale(LC_MESSAGES, locale), nullptr) << locale << " is not generated here";
    GList* items = nautilus_menu_provider_get_file_items(provider, selection);
    ASSERT_EQ(g_list_length(items), 1u);
    EXPECT_EQ(label(NAUTILUS_MENU_ITEM(items->data)), expected) << locale;
    nautilus_menu_item_list_free(items);
  }
  std::setlocale(LC_MESSAGES, "C");
}

}  // namespace
}  // namespace plumo
