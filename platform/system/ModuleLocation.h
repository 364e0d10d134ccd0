#pragma once

#include <dlfcn.h>
#include <filesystem>

namespace plumo {

// Where a plugin's companion files are (our program, the translations): found from
// where the plugin itself lies, so that an install moved to another prefix (cmake
// --install --prefix, a package) uses its own. Header only: the plugins that load
// into other applications link none of our libraries.
struct ModuleLocation {
  // `relativePath` from the folder of the loaded module that holds `address`, links
  // resolved; empty when no module holds it.
  static std::filesystem::path beside(const void* address, const char* relativePath) {
    Dl_info module{};
    if (::dladdr(address, &module) == 0 || module.dli_fname == nullptr) return {};
    std::error_code error;
    auto file = std::filesystem::canonical(module.dli_fname, error);
    if (error) file = module.dli_fname;
    return (file.parent_path() / relativePath).lexically_normal();
  }
};

}  // namespace plumo
