#include "GroupContainer.h"

#include <cstdlib>

namespace plumo {

namespace {

// A relative value is invalid by the XDG base directory rules and is ignored.
std::optional<std::filesystem::path> absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::filesystem::path(value);
}

std::optional<std::filesystem::path> dataHome() {
  if (auto configured = absoluteVariable("XDG_DATA_HOME")) return configured;
  if (auto home = absoluteVariable("HOME")) return *home / ".local" / "share";
  return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> GroupContainer::path(const std::string& group) {
  if (group.empty() || group == "." || group == ".." || group.find('/') != std::string::npos ||
      group.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  const auto base = dataHome();
  if (!base) return std::nullopt;
  return *base / "group-containers" / group;
}

}  // namespace plumo
