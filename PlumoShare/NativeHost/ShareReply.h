#pragma once

#include <string>

#include "ShareFrontEnd.h"

namespace plumo {

// The host's one answer to each request, told by how the share ended:
//   {"status": "published", "id": "<share id>", "handedOff": true|false}
//   {"status": "failed", "category": "<failure category>", "message": "<status text>"}
//   {"status": "dismissed"}
//   {"status": "invalid", "message": "..."}   a request the host could not take
struct ShareReply {
  static std::string to(const ShareFrontEnd::Ended& ended);
  static std::string invalid(const std::string& message);
};

}  // namespace plumo
