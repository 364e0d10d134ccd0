#pragma once

#include "ExtensionContext.h"

namespace plumo::testing {

// An extension context that hands out fixed items and records how the request ended.
class RecordingContext : public ExtensionContext {
 public:
  std::vector<ExtensionItem> items;
  int completions = 0;
  std::vector<std::error_code> cancellations;

  const std::vector<ExtensionItem>& inputItems() const override { return items; }
  void completeRequest() override { ++completions; }
  void cancelRequest(std::error_code error) override { cancellations.push_back(error); }
};

}  // namespace plumo::testing
