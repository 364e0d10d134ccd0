#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "AttributedString.h"
#include "ItemProvider.h"

namespace plumo {

// One shared item: an optional content text and an optional list of attachments.
struct ExtensionItem {
  std::optional<AttributedString> attributedContentText;
  std::optional<std::vector<std::shared_ptr<ItemProvider>>> attachments;

  std::size_t attachmentCount() const { return attachments ? attachments->size() : 0; }
};

}  // namespace plumo
