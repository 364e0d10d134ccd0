#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "SharePayload.h"

namespace plumo {

// One entry of the inbox as a reader finds it: its manifest when the share is
// valid, otherwise the reason it is not.
struct InboxShare {
  std::string id;
  std::filesystem::path folder;
  std::optional<SharePayload> payload;
  std::string error;

  bool valid() const { return payload.has_value(); }
};

}  // namespace plumo
