#include "PathComponents.h"

namespace plumo {

std::string PathComponents::lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string PathComponents::extension(std::string_view path) {
  const std::string component = lastComponent(path);
  const auto dot = component.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  return component.substr(dot + 1);
}

}  // namespace plumo
