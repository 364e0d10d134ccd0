#pragma once

#include <string>

#include "InboxShare.h"

namespace plumo {

// How plumo-inbox prints a share: each form is one line, without its line break.
struct ShareListing {
  // id, creation time (ISO 8601, UTC), number of files, number of folders and
  // the message's first line, tab-separated. Control and bidirectional formatting
  // characters in the message are escaped (Utf8::escaped) so that the columns
  // hold and nothing reads other than it is. An invalid share shows "-" in the
  // three middle columns and "invalid: <reason>" as its message.
  static std::string tabSeparated(const InboxShare& share);

  // One JSON object: id, path, valid, then the manifest's members or the error.
  static std::string json(const InboxShare& share);

  // The manifest of a valid share, indented, then the path of each of its files, escaped as above.
  static std::string details(const InboxShare& share);

  // Milliseconds since 1970 as 2026-12-08T22:09:15.123Z; "-" outside years 1970 to 9999.
  static std::string isoTime(double milliseconds);
};

}  // namespace plumo
