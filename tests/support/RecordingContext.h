#pragma once

#include "ExtensionContext.h"

namespace plumo::testing {

// An extension context that hands out fixed items and records how the request ended.
class RecordingContext : public ExtensionContext {
 public:
  std::vector<ExtensionItem> items;
  int completions = 0;
  int cancellations = 0;

  const std::vector<ExtensionItem>& inputItems() const override { return items; }
  void completeRequest() override { ++completions; }
  void cancelRequest() override { ++cancellations; }
};

}  // namespace plumo::testing
