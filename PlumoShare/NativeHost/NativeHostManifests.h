#pragma once

#include <filesystem>
#include <vector>

namespace plumo {

// The manifests that tell each browser where the native host is. The bundle
// holds them for the installation it belongs to, naming its host by absolute
// path: <bundle>/native-messaging-hosts/{chromium,firefox}/<host name>.json.
struct NativeHostManifests {
  static constexpr const char* hostName = PLUMO_NATIVE_HOST_NAME;

  // Copies them where Chromium, Google Chrome and Firefox look for this user's
  // hosts, replacing older ones; the paths written, in that order. Throws std::filesystem::filesystem_error.
  static std::vector<std::filesystem::path> registerUser(const std::filesystem::path& bundle);
};

}  // namespace plumo
