#include "CardModule.h"

#include <cstdlib>
#include <dlfcn.h>

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
  return prefix / PLUMO_LIBDIR / "plumo-share" / "plumo-card.so";
}

std::unique_ptr<CardWindow> CardModule::openWindow(const std::filesystem::path& module) {
  if (!displayPresent()) return nullptr;
  const Logger logger{PLUMO_HOST_BUNDLE_ID ".share", "card"};
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    logger.error(std::string("card module not loaded: ") + ::dlerror());
    return nullptr;
  }
  const auto open = reinterpret_cast<CardWindow* (*)()>(::dlsym(handle, entryPoint));
  if (open == nullptr) {
    logger.error(std::string("card module has no entry point: ") + module.string());
    return nullptr;
  }
  return std::unique_ptr<CardWindow>(open());
}

}  // namespace plumo
