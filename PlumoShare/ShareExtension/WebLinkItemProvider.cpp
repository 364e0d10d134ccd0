#include "WebLinkItemProvider.h"

#include <strings.h>

namespace plumo {

std::shared_ptr<WebLinkItemProvider> WebLinkItemProvider::forLink(const std::string& text) {
  const auto url = Url::parse(text);
  if (!url) return nullptr;
  const std::string& scheme = url->scheme();
  if (::strcasecmp(scheme.c_str(), "http") != 0 && ::strcasecmp(scheme.c_str(), "https") != 0) return nullptr;
  return std::make_shared<WebLinkItemProvider>(*url);
}

void WebLinkItemProvider::loadFileRepresentation(const std::string&, FileCompletion completion) {
  answerOnOwnThread([completion = std::move(completion)] { completion(std::nullopt, {}); });
}

void WebLinkItemProvider::loadDataRepresentation(const std::string&, DataCompletion completion) {
  answerOnOwnThread([text = link_.absoluteString(), completion = std::move(completion)] {
    completion(Data(text.begin(), text.end()), {});
  });
}

void WebLinkItemProvider::loadItem(const std::string&, ItemCompletion completion) {
  answerOnOwnThread([link = link_, completion = std::move(completion)] { completion(link, {}); });
}

}  // namespace plumo
