#include "GioWorkspace.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <unistd.h>
#include <vector>

#include "FileDescriptor.h"
#include "GOwned.h"

namespace plumo {

namespace {

// In the application's process, before exec: the mask we held our signals with is not its own.
void unblockAllSignals(gpointer) {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// A context whose environment is exactly `environment`.
GOwned<GAppLaunchContext> launchContextWith(const std::vector<std::string>& environment) {
  GOwned<GAppLaunchContext> context(g_app_launch_context_new());
  const GOwnedStrv current(g_get_environ());
  for (gchar** variable = current.get(); *variable != nullptr; ++variable) {
    const std::string entry(*variable);
    g_app_launch_context_unsetenv(context.get(), entry.substr(0, entry.find('=')).c_str());
  }
  for (const auto& entry : environment) {
    const auto equals = entry.find('=');
    if (equals == std::string::npos) continue;
    g_app_launch_context_setenv(context.get(), entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str());
  }
  return context;
}

// GIO's own routes to a handler that is no desktop entry (in a sandbox, the desktop portal over
// D-Bus) start what they start with our standard streams: for that while, they are /dev/null.
bool launchDefaultOnNothing(const std::string& url, GAppLaunchContext* context, int nothing) {
  const FileDescriptor ours[] = {FileDescriptor(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1)),
                                 FileDescriptor(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1)),
                                 FileDescriptor(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1))};
  for (const auto& stream : ours) {
    if (!stream.isOpen()) return false;
  }
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) ::dup2(nothing, stream);
  GError* error = nullptr;
  const bool opened = g_app_info_launch_default_for_uri(url.c_str(), context, &error);
  g_clear_error(&error);
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) ::dup2(ours[stream].get(), stream);
  return opened;
}

bool isInstalled(const char* program) { return GOwned<gchar>(g_find_program_in_path(program)) != nullptr; }

GOwned<gchar> desktopString(GKeyFile* entry, const char* key) {
  return GOwned<gchar>(g_key_file_get_string(entry, G_KEY_FILE_DESKTOP_GROUP, key, nullptr));
}

// What GIO requires of an entry before it counts as an application: not
// hidden, and the programs it names (TryExec, then Exec's) installed.
bool isLaunchableApplication(GKeyFile* entry) {
  const auto type = desktopString(entry, G_KEY_FILE_DESKTOP_KEY_TYPE);
  if (!type || std::strcmp(type.get(), G_KEY_FILE_DESKTOP_TYPE_APPLICATION) != 0) return false;
  if (g_key_file_get_boolean(entry, G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_HIDDEN, nullptr)) return false;
  const auto tryExec = desktopString(entry, G_KEY_FILE_DESKTOP_KEY_TRY_EXEC);
  if (tryExec && *tryExec != '\0' && !isInstalled(tryExec.get())) return false;
  const auto exec = desktopString(entry, G_KEY_FILE_DESKTOP_KEY_EXEC);
  if (!exec || *exec == '\0') return true;
  gchar** arguments = nullptr;
  if (!g_shell_parse_argv(exec.get(), nullptr, &arguments, nullptr)) return false;
  const GOwnedStrv owned(arguments);
  return isInstalled(arguments[0]);
}

// The first entry of that name that is an application, the user's folder first.
GOwned<GKeyFile> applicationEntry(const std::string& desktopId) {
  std::vector<const char*> folders{g_get_user_data_dir()};
  for (const gchar* const* folder = g_get_system_data_dirs(); *folder != nullptr; ++folder) folders.push_back(*folder);
  for (const char* folder : folders) {
    GOwned<GKeyFile> entry(g_key_file_new());
    const GOwned<gchar> path(g_build_filename(folder, "applications", desktopId.c_str(), nullptr));
    if (g_key_file_load_from_file(entry.get(), path.get(), G_KEY_FILE_NONE, nullptr) &&
        isLaunchableApplication(entry.get())) {
      return entry;
    }
  }
  return nullptr;
}

}  // namespace

bool GioWorkspace::openUrl(const std::string& url) {
  const GOwned<gchar> scheme(g_uri_parse_scheme(url.c_str()));
  if (!scheme) return false;
  const FileDescriptor nothing(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!nothing.isOpen()) return false;
  const GOwned<GAppLaunchContext> context = launchContextWith(environment_);
  const GOwned<GAppInfo> handler(g_app_info_get_default_for_uri_scheme(scheme.get()));
  if (!handler || !G_IS_DESKTOP_APP_INFO(handler.get())) {
    return launchDefaultOnNothing(url, context.get(), nothing.get());
  }
  GList uris{const_cast<char*>(url.c_str()), nullptr, nullptr};
  GError* error = nullptr;
  const bool opened = g_desktop_app_info_launch_uris_as_manager_with_fds(
      G_DESKTOP_APP_INFO(handler.get()), &uris, context.get(), G_SPAWN_SEARCH_PATH, unblockAllSignals, nullptr,
      nullptr, nullptr, nothing.get(), nothing.get(), nothing.get(), &error);
  g_clear_error(&error);
  return opened;
}

// The entry is found and judged as GIO does it, but read as a key file:
// GDesktopAppInfo would load GIO's modules and its index of every application,
// on the card's way to its first frame.
std::optional<Image> GioWorkspace::applicationIcon(const std::string& bundleId) {
  const auto entry = applicationEntry(bundleId + ".desktop");
  if (!entry) return std::nullopt;
  GOwned<gchar> icon(g_key_file_get_locale_string(entry.get(), G_KEY_FILE_DESKTOP_GROUP,
                                                  G_KEY_FILE_DESKTOP_KEY_ICON, nullptr, nullptr));
  if (!icon || *icon == '\0') return Image{"", 30, 30};
  if (g_path_is_absolute(icon.get())) return Image{icon.get(), 30, 30};
  // As GIO does: a theme's icon named with a file's extension is a common slip.
  if (char* extension = std::strrchr(icon.get(), '.')) {
    for (const char* slip : {".png", ".xpm", ".svg"}) {
      if (std::strcmp(extension, slip) == 0) *extension = '\0';
    }
  }
  return Image{icon.get(), 30, 30};
}

}  // namespace plumo
