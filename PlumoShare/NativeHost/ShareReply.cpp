#include "ShareReply.h"

#include <nlohmann/json.hpp>

namespace plumo {

namespace {

using Json = nlohmann::ordered_json;

std::string encoded(const Json& reply) { return reply.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace

std::string ShareReply::to(const ShareFrontEnd::Ended& ended) {
  switch (ended.status) {
    case ExtensionHost::handedOff:
    case ExtensionHost::notOpened:
      return encoded({{"status", "published"},
                      {"id", ended.shareId},
                      {"handedOff", ended.status == ExtensionHost::handedOff}});
    case ExtensionHost::importFailed:
      return encoded({{"status", "failed"},
                      {"category", ended.failure ? std::string(ended.failure->rawValue()) : ""},
                      {"message", ended.statusText}});
    default:
      return encoded({{"status", "dismissed"}});
  }
}

std::string ShareReply::invalid(const std::string& message) {
  return encoded({{"status", "invalid"}, {"message", message}});
}

}  // namespace plumo
