#include "NativeHostManifests.h"

#include <glib.h>

namespace plumo {

std::vector<std::filesystem::path> NativeHostManifests::registerUser(const std::filesystem::path& bundle) {
  namespace fs = std::filesystem;
  const fs::path file = std::string(hostName) + ".json";
  const fs::path config = g_get_user_config_dir();
  const fs::path chromium = bundle / "native-messaging-hosts" / "chromium" / file;
  const fs::path firefox = bundle / "native-messaging-hosts" / "firefox" / file;
  const std::vector<std::pair<fs::path, fs::path>> copies = {
      {chromium, config / "chromium" / "NativeMessagingHosts"},
      {chromium, config / "google-chrome" / "NativeMessagingHosts"},
      {firefox, fs::path(g_get_home_dir()) / ".mozilla" / "native-messaging-hosts"},
  };
  std::vector<fs::path> written;
  for (const auto& [manifest, folder] : copies) {
    fs::create_directories(folder);
    fs::copy_file(manifest, folder / file, fs::copy_options::overwrite_existing);
    written.push_back(folder / file);
  }
  return written;
}

}  // namespace plumo
