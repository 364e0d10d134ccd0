#include "ShareRequest.h"

#include <algorithm>
#include <array>
#include <glib.h>
#include <simdjson.h>

#include "BytesItemProvider.h"
#include "ShareImportRules.h"
#include "SharePayloadCollector.h"
#include "NativeMessageChannel.h"
#include "Refusal.h"
#include "UTType.h"
#include "WebLinkItemProvider.h"

namespace plumo {

namespace {

using Json = simdjson::dom::element;
using Invalid = ShareRequest::Invalid;

static_assert(NativeMessageChannel::spareCapacity >= simdjson::SIMDJSON_PADDING);

// An object with each of `required` and, of `optional`, any.
simdjson::dom::object members(const Json& value, std::initializer_list<std::string_view> required,
                              const std::string& what, std::initializer_list<std::string_view> optional = {}) {
  const auto object = value.get_object();
  const auto ownMembers = [&] { return Invalid(what + " must be an object of its own members"); };
  if (object.error() || object.size() < required.size() || object.size() > required.size() + optional.size()) {
    throw ownMembers();
  }
  for (const std::string_view name : required) {
    if (object.at_key(name).error()) throw Invalid(what + " has no \"" + std::string(name) + "\"");
  }
  for (const auto member : object.value_unsafe()) {
    if (std::find(optional.begin(), optional.end(), member.key) == optional.end() &&
        std::find(required.begin(), required.end(), member.key) == required.end()) {
      throw ownMembers();
    }
  }
  return object.value_unsafe();
}

std::string_view string(const Json& value, const char* what) {
  const auto text = value.get_string();
  if (text.error()) throw Invalid(std::string(what) + " must be a string");
  return text.value_unsafe();
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
  if (text.empty()) return {};  // GLib's decoder refuses an empty buffer to decode into
  Data data(text.size() / 4 * 3);
  gint state = 0;
  guint save = 0;
  data.resize(g_base64_decode_step(text.data(), text.size(), data.data(), &state, &save));
  return data;
}

std::shared_ptr<ItemProvider> fileProvider(const Json& value) {
  const auto file = members(value, {"name", "type", "data"}, "a file");
  // Any name: the share stages it under a safe one.
  const std::string_view name = string(file["name"], "a file's name");
  const std::string typeName(string(file["type"], "a file's type"));
  const auto type = UTType::named(typeName);
  if (!type) throw Invalid("unknown type '" + typeName + "': give a type identifier or a MIME type");
  // A page chooses the type: one that the import reads as a location (a file URL, a
  // folder, a link) would let it name a local file or folder instead of sending bytes.
  if (!type->conformsTo(UTType::data) || type->conformsTo(UTType::url)) {
    throw Invalid("a file's type '" + typeName + "' is not a type of bytes");
  }
  Data bytes = base64Decoded(string(file["data"], "a file's data"));
  return std::make_shared<BytesItemProvider>(std::string(type->identifier()), std::move(bytes),
                                             name.empty() ? std::nullopt : std::optional<std::string>(name));
}

std::shared_ptr<ItemProvider> provider(const Json& item) {
  const auto object = item.get_object();
  if (object.error() || object.size() != 1) throw Invalid("an item must be an object of one member");
  const auto member = *object.begin();
  const std::string_view kind = member.key;
  const Json& value = member.value;
  if (kind == "text") {
    const std::string_view text = string(value, "a text");
    return std::make_shared<BytesItemProvider>(std::string(UTType::plainText.identifier()),
                                               Data(text.begin(), text.end()));
  }
  if (kind == "url") {
    const std::string_view url = string(value, "a url");
    try {
      return WebLinkItemProvider::forLink(std::string(url));
    } catch (const Refusal& refused) {
      // The reason alone: echoing a link of megabytes would make a reply larger than a browser takes.
      throw Invalid(std::string("a url was refused: ") + refused.what());
    }
  }
  if (kind == "file") return fileProvider(value);
  throw Invalid("unknown item kind \"" + std::string(kind) + "\"");
}

// The texts of simdjson's errors that a request can meet, in the words of this host.
std::string notTaken(simdjson::error_code error) {
  if (error == simdjson::UTF8_ERROR) return "the request is not UTF-8";
  return std::string("the request is not JSON: ") + simdjson::error_message(error);
}

bool isVersion(const Json& value) {
  const auto number = value.get_double();
  return !number.error() && number.value_unsafe() == ShareRequest::version;
}

}  // namespace

ShareRequest ShareRequest::parse(const std::string& message) {
  // A request holds an image in base64, megabytes long: simdjson reads it at memory's
  // speed, in place where the message left room past its end for its reading in blocks.
  simdjson::dom::parser parser(NativeMessageChannel::messageLimit);
  static constexpr std::size_t deepestNesting = NativeMessageChannel::messageLimit / 2;
  if (parser.allocate(std::max(message.size(), std::size_t{1}), std::min(message.size() / 2 + 1, deepestNesting))) {
    throw std::bad_alloc();
  }
  const bool padded = message.capacity() - message.size() >= simdjson::SIMDJSON_PADDING;
  const auto parsed = parser.parse(message.data(), message.size(), !padded);
  if (parsed.error()) throw Invalid(notTaken(parsed.error()));
  const auto request = members(parsed.value_unsafe(), {"version", "items"}, "the request", {"language"});
  // Not echoed: the value may be megabytes, or nested deeper than a dump can recurse.
  if (!isVersion(request["version"])) {
    throw Invalid("unsupported version: this host speaks version " + std::to_string(version));
  }
  const auto items = request["items"].get_array();
  if (items.error()) throw Invalid("\"items\" must be an array");
  if (items.size() > SharePayloadCollector::attachmentLimit) {
    throw Invalid("more than " + std::to_string(SharePayloadCollector::attachmentLimit) + " items");
  }
  ShareRequest parsedRequest;
  if (const auto language = request["language"]; !language.error()) {
    parsedRequest.language = string(language.value_unsafe(), "the language");
  }
  auto& attachments = parsedRequest.item.attachments.emplace();
  for (const auto entry : items.value_unsafe()) attachments.push_back(provider(entry));
  return parsedRequest;
}

}  // namespace plumo
