#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace plumo::bridge {

// Proves a container folder usable: a new probe file is written without
// overwriting anything, read back, compared and always removed.
struct ContainerProbe {
  using ReadBackFunction = std::function<std::optional<std::string>(const std::filesystem::path&)>;

  static constexpr std::string_view content = "PlumoShare";
  static constexpr std::string_view namePrefix = ".plumo-share-probe-";

  static bool succeeds(const std::filesystem::path& container, const ReadBackFunction& read = readBack);
  // The probe file's bytes, up to one past the content; none when it cannot be read.
  static std::optional<std::string> readBack(const std::filesystem::path& file);
};

}  // namespace plumo::bridge
