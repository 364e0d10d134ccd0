#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "Item.h"

namespace plumo {

// One attachment of a shared item: it offers its content under type
// identifiers and loads it on request. Each load calls its completion handler
// once, on a thread of the provider's choosing; a zero error means success.
class ItemProvider {
 public:
  // The temporary file is valid only until the handler returns.
  using FileCompletion = std::function<void(const std::optional<Url>& temporaryFile, std::error_code error)>;
  using DataCompletion = std::function<void(std::optional<Data> data, std::error_code error)>;
  using ItemCompletion = std::function<void(std::optional<Item> item, std::error_code error)>;

  virtual ~ItemProvider() = default;

  // In the provider's own order of preference.
  virtual std::vector<std::string> registeredTypeIdentifiers() const = 0;
  virtual std::optional<std::string> suggestedName() const = 0;
  // A provider that offers its content only as an item (a link, a file where it
  // lies) keeps these two, which answer at once with nothing.
  virtual void loadFileRepresentation(const std::string& typeIdentifier, FileCompletion completion);
  virtual void loadDataRepresentation(const std::string& typeIdentifier, DataCompletion completion);
  virtual void loadItem(const std::string& typeIdentifier, ItemCompletion completion) = 0;

  // True when some registered identifier's type conforms to the given one.
  bool hasItemConformingTo(std::string_view typeIdentifier) const;
};

}  // namespace plumo
