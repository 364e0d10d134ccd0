#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <plist/plist.h>
#include <string>
#include <string_view>

namespace plumo {

// A property list from bytes nobody vouches for (a signature, a bundle's
// Info.plist). libplist recurses once per level of nesting, and a document
// nested a million levels deep overflows the stack, so a document that is too
// large or nested too deeply is refused before libplist sees it.
class PropertyList {
 public:
  static constexpr std::size_t byteLimit = 1 << 20;
  static constexpr int depthLimit = 64;

  using Root = std::unique_ptr<void, decltype(&plist_free)>;

  // The parsed root; null when the document is refused or is no property list.
  static Root fromXml(std::string_view xml);
  // The same for a document in either form: binary (it starts "bplist00") or XML.
  static Root fromDocument(std::string_view document);

  // A string node's text; none for a missing node or one of another type.
  static std::optional<std::string> stringOf(plist_t node);

  // Whether the document stays within both limits, judged by a scan of its tags.
  static bool withinLimits(std::string_view xml);
};

}  // namespace plumo
