#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "InfoDictionary.h"

namespace plumo {

// The settings plumo-share was built with, read once from its bundle's
// Info.plist, each with its default: the one reader of these keys, for the
// share and for the host's side of the inbox.
class ShareBundle {
 public:
  explicit ShareBundle(const std::filesystem::path& folder) : info_(folder / "Info.plist") {}

  std::string group() const;         // the group whose container holds the share store
  std::string scheme() const;        // of the host application's hand-off URLs
  std::string hostBundleId() const;  // the host application, whose icon the card shows
  // <group container>/PlumoShare; absent when the bundle names no usable group.
  std::optional<std::filesystem::path> storeRoot() const;

 private:
  InfoDictionary info_;
};

}  // namespace plumo
