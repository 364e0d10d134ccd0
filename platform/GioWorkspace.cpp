#include "GioWorkspace.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <memory>

namespace plumo {

bool GioWorkspace::openUrl(const std::string& url) {
  GError* error = nullptr;
  const bool opened = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error);
  g_clear_error(&error);
  return opened;
}

std::optional<Image> GioWorkspace::applicationIcon(const std::string& bundleId) {
  const std::unique_ptr<GDesktopAppInfo, decltype(&g_object_unref)> application(
      g_desktop_app_info_new((bundleId + ".desktop").c_str()), &g_object_unref);
  if (!application) return std::nullopt;
  GIcon* icon = g_app_info_get_icon(G_APP_INFO(application.get()));
  if (icon == nullptr) return Image{"", 30, 30};
  const std::unique_ptr<gchar, decltype(&g_free)> serialized(g_icon_to_string(icon), &g_free);
  return Image{serialized ? serialized.get() : "", 30, 30};
}

}  // namespace plumo
