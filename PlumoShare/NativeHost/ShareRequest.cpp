#include "ShareRequest.h"

#include <algorithm>
#include <array>
#include <glib.h>
#include <nlohmann/json.hpp>

#include "BytesItemProvider.h"
#include "ShareImportRules.h"
#include "SharePayloadCollector.h"
#include "UTType.h"
#include "Utf8.h"
#include "WebLinkItemProvider.h"

namespace plumo {

namespace {

using Json = nlohmann::json;
using Invalid = ShareRequest::Invalid;

// An object with exactly these members, each present.
const Json& members(const Json& value, std::initializer_list<const char*> names, const std::string& what) {
  if (!value.is_object() || value.size() != names.size()) throw Invalid(what + " must be an object of its own members");
  for (const char* name : names) {
    if (!value.contains(name)) throw Invalid(what + " has no \"" + name + "\"");
  }
  return value;
}

// `what` is a literal, never a temporary: the string returned lives in `value`.
const std::string& string(const Json& value, const char* what) {
  if (!value.is_string()) throw Invalid(std::string(what) + " must be a string");
  return value.get_ref<const std::string&>();
}

// A table rather than a search of the alphabet for each of an image's millions of characters.
bool isBase64(std::string_view text) {
  static constexpr auto inAlphabet = [] {
    std::array<bool, 256> table{};
    for (const char character : std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")) {
      table[static_cast<unsigned char>(character)] = true;
    }
    return table;
  }();
  if (text.size() % 4 != 0) return false;
  const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  const std::string_view digits = text.substr(0, text.size() - padding);
  return std::all_of(digits.begin(), digits.end(),
                     [](char character) { return inAlphabet[static_cast<unsigned char>(character)]; });
}

// Decoded straight into the bytes the share keeps: an image is not copied once more.
Data base64Decoded(std::string_view text) {
  if (!isBase64(text)) throw Invalid("a file's data is not base64");
  Data data(text.size() / 4 * 3);
  gint state = 0;
  guint save = 0;
  data.resize(g_base64_decode_step(text.data(), text.size(), data.data(), &state, &save));
  return data;
}

std::shared_ptr<ItemProvider> fileProvider(const Json& file) {
  members(file, {"name", "type", "data"}, "a file");
  const std::string& name = string(file["name"], "a file's name");
  if (name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    throw Invalid("a file's name may hold no slash and no NUL");
  }
  const std::string& typeName = string(file["type"], "a file's type");
  const auto type = UTType::named(typeName);
  if (!type) throw Invalid("unknown type '" + typeName + "': give a type identifier or a MIME type");
  // A page chooses the type: one that the import reads as a location (a file URL, a
  // folder, a link) would let it name a local file or folder instead of sending bytes.
  if (!type->conformsTo(UTType::data) || type->conformsTo(UTType::url)) {
    throw Invalid("a file's type '" + typeName + "' is not a type of bytes");
  }
  Data bytes = base64Decoded(string(file["data"], "a file's data"));
  return std::make_shared<BytesItemProvider>(std::string(type->identifier()), std::move(bytes),
                                             name.empty() ? std::nullopt : std::optional(name));
}

std::shared_ptr<ItemProvider> provider(const Json& item) {
  if (!item.is_object() || item.size() != 1) throw Invalid("an item must be an object of one member");
  // An iterator of the item itself: items() would hand out a proxy that dies with this line.
  const auto member = item.begin();
  const std::string& kind = member.key();
  const Json& value = member.value();
  if (kind == "text") {
    const std::string& text = string(value, "a text");
    return std::make_shared<BytesItemProvider>(std::string(UTType::plainText.identifier()),
                                               Data(text.begin(), text.end()));
  }
  if (kind == "url") {
    const std::string& url = string(value, "a url");
    try {
      return WebLinkItemProvider::forLink(url);
    } catch (const ShareImportRules::LinkRefused& refused) {
      // The reason alone: echoing a link of megabytes would make a reply larger than a browser takes.
      throw Invalid("a url was refused: " + refused.reason());
    }
  }
  if (kind == "file") return fileProvider(value);
  throw Invalid("unknown item kind \"" + kind + "\"");
}

}  // namespace

ExtensionItem ShareRequest::parse(std::string_view message) {
  // The JSON parser would say so too, but less plainly.
  if (!Utf8::isValid(message)) throw Invalid("the request is not UTF-8");
  Json request;
  try {
    request = Json::parse(message);
  } catch (const Json::exception& error) {  // a syntax error, or a number out of a double's range
    throw Invalid(std::string("the request is not JSON: ") + error.what());
  }
  members(request, {"version", "items"}, "the request");
  // Not echoed: the value may be megabytes, or nested deeper than a dump can recurse.
  if (request["version"] != version) {
    throw Invalid("unsupported version: this host speaks version " + std::to_string(version));
  }
  const Json& items = request["items"];
  if (!items.is_array()) throw Invalid("\"items\" must be an array");
  if (items.size() > SharePayloadCollector::attachmentLimit) {
    throw Invalid("more than " + std::to_string(SharePayloadCollector::attachmentLimit) + " items");
  }
  ExtensionItem item;
  auto& attachments = item.attachments.emplace();
  for (const auto& entry : items) attachments.push_back(provider(entry));
  return item;
}

}  // namespace plumo
