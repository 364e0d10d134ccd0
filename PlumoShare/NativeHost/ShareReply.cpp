#include "ShareReply.h"

#include <nlohmann/json.hpp>

namespace plumo {

namespace {

using Json = nlohmann::ordered_json;

std::string encoded(const Json& reply) { return reply.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Far below the 1 MiB a browser takes, even with every byte escaped as \u00XX.
constexpr std::size_t messageLimit = 4096;

// At most messageLimit bytes, cut before a character rather than inside one.
std::string bounded(const std::string& message) {
  if (message.size() <= messageLimit) return message;
  std::size_t end = messageLimit;
  while (end > 0 && (static_cast<unsigned char>(message[end]) & 0xC0) == 0x80) --end;
  return message.substr(0, end) + "\u2026";
}

}  // namespace

// No default: a new exit status must be given its reply here.
std::string ShareReply::to(const ShareFrontEnd::Ended& ended) {
  Json reply = {{"status", "dismissed"}};
  switch (ended.status) {
    case ExtensionHost::handedOff:
      reply = {{"status", "published"}, {"id", ended.shareId}, {"handedOff", true}};
      break;
    case ExtensionHost::notOpened:
      reply = {{"status", "published"}, {"id", ended.shareId}, {"handedOff", false}, {"message", ended.statusText}};
      break;
    case ExtensionHost::importFailed:
      reply = {{"status", "failed"},
               {"category", ended.failure ? std::string(ended.failure->rawValue()) : ""},
               {"message", ended.statusText}};
      break;
    case ExtensionHost::dismissed:
    case ExtensionHost::usageError:  // an item the card refused: dismissed, as it ends there
      break;
  }
  return encoded(reply);
}

std::string ShareReply::invalid(const std::string& message) {
  return encoded({{"status", "invalid"}, {"message", bounded(message)}});
}

}  // namespace plumo
