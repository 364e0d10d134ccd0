#pragma once

#include <vector>

#include "ExtensionItem.h"

namespace plumo {

// One share request as the extension host hands it over: its input items,
// and the two ways the request ends.
class ExtensionContext {
 public:
  virtual ~ExtensionContext() = default;
  virtual const std::vector<ExtensionItem>& inputItems() const = 0;
  virtual void completeRequest() = 0;
  virtual void cancelRequest() = 0;
};

}  // namespace plumo
