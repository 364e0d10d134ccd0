#include "InfoDictionary.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <plist/plist.h>

namespace plumo {

namespace {

using PropertyList = std::unique_ptr<void, decltype(&plist_free)>;

PropertyList parse(const std::string& bytes) {
  plist_t root = nullptr;
  if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  } else {
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  }
  return {root, &plist_free};
}

}  // namespace

std::optional<std::string> InfoDictionary::string(const std::string& key) const {
  std::ifstream stream(file_, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  if (bytes.empty()) return std::nullopt;
  const PropertyList root = parse(bytes);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  const plist_t value = plist_dict_get_item(root.get(), key.c_str());
  if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
  char* text = nullptr;
  plist_get_string_val(value, &text);
  if (text == nullptr) return std::nullopt;
  std::string result(text);
  std::free(text);
  return result;
}

}  // namespace plumo
