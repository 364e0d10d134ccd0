#include "GioWorkspace.h"

#include <csignal>
#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <unistd.h>

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
  const GOwned<gchar*> current(g_get_environ());
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

std::optional<Image> GioWorkspace::applicationIcon(const std::string& bundleId) {
  const GOwned<GDesktopAppInfo> application(g_desktop_app_info_new((bundleId + ".desktop").c_str()));
  if (!application) return std::nullopt;
  GIcon* icon = g_app_info_get_icon(G_APP_INFO(application.get()));
  if (icon == nullptr) return Image{"", 30, 30};
  const GOwned<gchar> serialized(g_icon_to_string(icon));
  return Image{serialized ? serialized.get() : "", 30, 30};
}

}  // namespace plumo
