#pragma once

#include <memory>
#include <string>

#include "ThreadedItemProvider.h"
#include "Url.h"

namespace plumo {

// An http or https link, offered as public.url.
class WebLinkItemProvider : public ThreadedItemProvider {
 public:
  explicit WebLinkItemProvider(Url link) : link_(std::move(link)) {}

  // The link as a person or a browser gives it, in its strict form (ShareImportRules::link).
  // Every front end takes links through here. Throws ShareImportRules::link's Refusal.
  static std::shared_ptr<WebLinkItemProvider> forLink(const std::string& text);

  std::vector<std::string> registeredTypeIdentifiers() const override { return {"public.url"}; }
  std::optional<std::string> suggestedName() const override { return std::nullopt; }
  void loadItem(const std::string&, ItemCompletion completion) override;

 private:
  Url link_;
};

}  // namespace plumo
