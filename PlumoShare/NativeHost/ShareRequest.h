#pragma once

#include <stdexcept>
#include <string>

#include "ExtensionItem.h"

namespace plumo {

// One request of the browser extension, checked whole before anything is staged:
//   {"version": 1, "items": [ITEM, ...], "language": "de"}
// where ITEM is {"text": "..."}, {"url": "https://..."} or
// {"file": {"name": "photo.png", "type": "image/png", "data": "<base64>"}},
// `type` being a type identifier or a MIME type, and the optional `language` the
// one the extension shows, for the texts of the reply. What it shares is the
// share's business: the request only names items.
struct ShareRequest {
  static constexpr int version = 1;

  // A request the host cannot take; its text goes back to the extension.
  struct Invalid : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Throws Invalid. Fastest on a message read by NativeMessageChannel, which
  // leaves room past its end.
  static ShareRequest parse(const std::string& message);

  ExtensionItem item;  // an attachment per ITEM, in order
  std::string language;  // empty when the request names none
};

}  // namespace plumo
