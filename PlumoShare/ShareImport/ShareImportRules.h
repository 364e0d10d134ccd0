#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "Item.h"
#include "Url.h"

namespace plumo {

// The limits of one share and the pure checks of shared content. Every
// refusal throws a ShareImportFailure.
struct ShareImportRules {
  static constexpr std::int64_t fileLimit = 12'582'912;   // bytes in one staged file
  static constexpr std::int64_t totalLimit = 52'428'800;  // bytes in all staged files of a share
  static constexpr std::int64_t textLimit = 131'072;      // UTF-16 units of the joined message
  static constexpr std::int64_t directoryLimit = 10;      // folders listed in a share
  static constexpr std::int64_t fileCountLimit = 10;      // staged files in a share
  static constexpr std::size_t textDataLimit = 524'288;   // bytes of raw text data worth decoding
  static constexpr std::size_t nameByteLimit = 180;
  static constexpr std::size_t extensionCharacterLimit = 16;

  // A string, the characters of an attributed string, or data that is valid
  // UTF-8 of at most textDataLimit bytes; anything else is unsupported.
  static std::string text(const Item& item);


  // The item as a file URL (`file`, taken unchanged) or as link(). Anything
  // else is unsupported.
  static Url url(const Item& item, bool file);

  // An http or https link as people paste it, in the ASCII form that every
  // front end shares and that the message carries. Blanks and controls around
  // it go. A valid URI stays byte for byte as it is; any other link is read as
  // a browser's URL parser reads it (a backslash is a slash, dot segments are
  // resolved, the host is percent-decoded, converted by UTS #46 and
  // lower-cased, the scheme's own port and an empty one go) and in its user
  // info, path, query and fragment every character a URI may not hold there is
  // percent-encoded as UTF-8, valid escapes and reserved characters stay.
  // Nothing else is cut: a final "." or ")" belongs to the link. Throws a
  // Refusal of kind ShareImportFailure::unsupported, its reason in words, for
  // another scheme or none, a tab or line break inside it, no host, a host a
  // browser refuses (after percent-decoding: a NUL, a space, a delimiter, what
  // UTS #46 refuses; an IPv4 or IPv6 address that is none), a port that is not a
  // number from 0 to 65535.
  static Url link(std::string_view pasted);

  // What check() weighs, by name: check({.files = count + 1, .fileSize = size}).
  struct Amounts {
    std::string_view text = {};  // the joined message
    std::int64_t files = 0;      // staged files, the one being added included
    std::int64_t fileSize = 0;   // bytes of the file being added
    std::int64_t total = 0;      // bytes of all staged files, that one included
  };

  // tooLarge when any bound is exceeded; every bound is inclusive.
  static void check(const Amounts& amounts);

  // "<index + 1>-<safe name>": one path component of at most 180 bytes of
  // name, never a partial character, with the fallback's extension restored.
  static std::string filename(const std::optional<std::string>& suggested, std::string_view fallback,
                              std::int64_t index);
};

}  // namespace plumo
