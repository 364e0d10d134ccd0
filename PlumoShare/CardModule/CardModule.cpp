#include "CardModule.h"

#include <cstdlib>
#include <dlfcn.h>

#include "BuildIdentity.h"
#include "LoadableModule.h"
#include "Logger.h"

namespace plumo {

bool CardModule::displayPresent() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

std::filesystem::path CardModule::installedIn(const std::filesystem::path& prefix) {
  return prefix / PLUMO_LIBDIR / "plumo-share" / "plumo-card.so";
}

std::unique_ptr<CardWindow> CardModule::openWindow(const std::filesystem::path& module) {
  if (!displayPresent()) return nullptr;
  const auto notLoaded = [](const std::string& reason) -> std::unique_ptr<CardWindow> {
    Logger(PLUMO_HOST_BUNDLE_ID ".share", "diagnostics").error("card module not loaded: " + reason);
    return nullptr;
  };
  void* handle = nullptr;
  try {
    // Lazily: the toolkit's libraries that ask for it themselves are bound at
    // once, the others only as far as the card calls them, before its first frame.
    handle = LoadableModule::load(module, RTLD_LAZY | RTLD_LOCAL);
  } catch (const std::runtime_error& notLoadable) {
    return notLoaded(notLoadable.what());
  }
  const auto open = reinterpret_cast<CardWindow* (*)()>(::dlsym(handle, entryPoint));
  if (open == nullptr) return notLoaded(module.string() + ": no entry point " + entryPoint);
  return std::unique_ptr<CardWindow>(open());
}

}  // namespace plumo
