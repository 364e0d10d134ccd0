#include "CardModule.h"

#include <cstdlib>
#include <dlfcn.h>

#include "LoadableModule.h"
#include "Logger.h"

namespace plumo {

namespace {

bool displayPresent() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

std::filesystem::path CardModule::installedIn(const std::filesystem::path& prefix) {
  return prefix / "lib" / "plumo-share" / "plumo-card.so";
}

std::unique_ptr<CardWindow> CardModule::openWindow(const std::filesystem::path& module) {
  if (!displayPresent()) return nullptr;
  const auto notLoaded = [](const std::string& reason) -> std::unique_ptr<CardWindow> {
    Logger(PLUMO_HOST_BUNDLE_ID ".share", "diagnostics").error("card module not loaded: " + reason);
    return nullptr;
  };
  if (const auto defect = LoadableModule::defect(module)) return notLoaded(module.string() + ": " + *defect);
  // Lazily: the toolkit's libraries that ask for it themselves are bound at
  // once, the others only as far as the card calls them, before its first frame.
  void* handle = ::dlopen(module.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return notLoaded(::dlerror());
  const auto open = reinterpret_cast<CardWindow* (*)()>(::dlsym(handle, entryPoint));
  if (open == nullptr) return notLoaded(module.string() + ": no entry point " + entryPoint);
  return std::unique_ptr<CardWindow>(open());
}

}  // namespace plumo
