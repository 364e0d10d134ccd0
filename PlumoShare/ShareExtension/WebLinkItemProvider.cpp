#include "WebLinkItemProvider.h"

#include "ShareImportRules.h"

namespace plumo {

std::shared_ptr<WebLinkItemProvider> WebLinkItemProvider::forLink(const std::string& text) {
  return std::make_shared<WebLinkItemProvider>(ShareImportRules::link(text));
}

void WebLinkItemProvider::loadItem(const std::string&, ItemCompletion completion) {
  answerOnOwnThread([link = link_, completion = std::move(completion)] { completion(link, {}); });
}

}  // namespace plumo
