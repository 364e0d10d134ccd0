#pragma once

#include "ThreadedItemProvider.h"
#include "Url.h"

namespace plumo {

// An http or https link named on the command line, offered as public.url.
class WebLinkItemProvider : public ThreadedItemProvider {
 public:
  explicit WebLinkItemProvider(Url link) : link_(std::move(link)) {}

  std::vector<std::string> registeredTypeIdentifiers() const override { return {"public.url"}; }
  std::optional<std::string> suggestedName() const override { return std::nullopt; }
  void loadFileRepresentation(const std::string&, FileCompletion completion) override;
  void loadDataRepresentation(const std::string&, DataCompletion completion) override;
  void loadItem(const std::string&, ItemCompletion completion) override;

 private:
  Url link_;
};

}  // namespace plumo
