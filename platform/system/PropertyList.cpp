#include "PropertyList.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <utility>

#include "BinaryPlistScanner.h"

namespace plumo {

namespace {

// Walks the tags of an XML document the way libplist reads them: comments,
// CDATA sections, processing instructions and declarations hold no elements,
// and a quoted attribute value may hold '>'.
class TagScanner {
  static constexpr std::pair<std::string_view, std::string_view> skippedConstructs[] = {
      {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}};

 public:
  explicit TagScanner(std::string_view xml) : xml_(xml) {}

  // The deepest nesting of <array> and <dict>; -1 when the tags do not nest
  // (more closed than opened) or a construct never ends.
  int containerDepth() {
    int depth = 0;
    int deepest = 0;
    while ((at_ = xml_.find('<', at_)) != std::string_view::npos) {
      const std::optional<int> change = nextTag();
      if (!change) return -1;
      depth += *change;
      if (depth < 0) return -1;
      if (depth > deepest) deepest = depth;
      if (deepest > PropertyList::depthLimit) return deepest;
    }
    return deepest;
  }

 private:
  // Consumes the construct at at_ ('<'): +1 opens a container, -1 closes one,
  // 0 is anything else; absent when it never ends.
  std::optional<int> nextTag() {
    const std::string_view rest = xml_.substr(at_);
    for (const auto& [opener, terminator] : skippedConstructs) {
      if (rest.starts_with(opener)) return skipPast(at_ + opener.size(), terminator);
    }
    if (rest.starts_with("<!")) return skipDeclaration();
    const bool closing = rest.starts_with("</");
    const std::string_view name = nameAt(at_ + (closing ? 2 : 1));
    const bool container = name == "array" || name == "dict";
    const std::size_t end = tagEnd();
    if (end == std::string_view::npos) return std::nullopt;
    const bool selfClosing = xml_[end - 1] == '/';
    at_ = end + 1;
    if (!container || selfClosing) return 0;
    return closing ? -1 : 1;
  }

  std::string_view nameAt(std::size_t start) const {
    std::size_t end = start;
    while (end < xml_.size() && !isNameEnd(xml_[end])) ++end;
    return xml_.substr(start, end - start);
  }

  static bool isNameEnd(char c) { return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

  // The '>' that ends the tag at at_, past quoted attribute values.
  std::size_t tagEnd() const {
    char quote = 0;
    for (std::size_t index = at_ + 1; index < xml_.size(); ++index) {
      const char c = xml_[index];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        return index;
      }
    }
    return std::string_view::npos;
  }

  std::optional<int> skipPast(std::size_t from, std::string_view terminator) {
    const std::size_t end = xml_.find(terminator, from);
    if (end == std::string_view::npos) return std::nullopt;
    at_ = end + terminator.size();
    return 0;
  }

  // <!DOCTYPE ...>, with an internal subset in brackets that may hold '>'.
  std::optional<int> skipDeclaration() {
    const std::size_t bracket = xml_.find('[', at_);
    const std::size_t close = xml_.find('>', at_);
    if (bracket != std::string_view::npos && bracket < close) return skipPast(bracket, "]>");
    return skipPast(at_, ">");
  }

  std::string_view xml_;
  std::size_t at_ = 0;
};

}  // namespace

bool PropertyList::withinLimits(std::string_view xml) {
  if (xml.size() > byteLimit) return false;
  const int depth = TagScanner(xml).containerDepth();
  return depth >= 0 && depth <= depthLimit;
}

PropertyList::Root PropertyList::fromXml(std::string_view xml) {
  Root root(nullptr, &plist_free);
  if (!withinLimits(xml)) return root;
  plist_t parsed = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &parsed);
  root.reset(parsed);
  return root;
}

PropertyList::Root PropertyList::fromDocument(std::string_view document) {
  if (!document.starts_with(BinaryPlistScanner::magic)) return fromXml(document);
  Root root(nullptr, &plist_free);
  if (!BinaryPlistScanner(document).withinLimits(byteLimit, depthLimit)) return root;
  plist_t parsed = nullptr;
  plist_from_bin(document.data(), static_cast<std::uint32_t>(document.size()), &parsed);
  root.reset(parsed);
  return root;
}

std::optional<std::string> PropertyList::stringOf(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* text = nullptr;
  plist_get_string_val(node, &text);
  if (text == nullptr) return std::nullopt;
  std::string result(text);
  std::free(text);
  return result;
}

}  // namespace plumo
