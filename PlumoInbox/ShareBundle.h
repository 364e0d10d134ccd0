#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "InfoDictionary.h"

namespace plumo {

// The settings plumo-share was built with, read from its bundle's Info.plist:
// where the inbox lies and which scheme hand-off URLs use.
class ShareBundle {
 public:
  explicit ShareBundle(const std::filesystem::path& folder) : info_(folder / "Info.plist") {}

  std::string scheme() const;
  // <group container>/PlumoShare; absent when the bundle names no usable group.
  std::optional<std::filesystem::path> storeRoot() const;

 private:
  InfoDictionary info_;
};

}  // namespace plumo
