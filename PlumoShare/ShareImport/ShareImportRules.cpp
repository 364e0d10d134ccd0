#include "ShareImportRules.h"

#include <strings.h>
#include <system_error>

#include "PathComponents.h"
#include "ShareImportFailure.h"
#include "Utf8.h"

namespace plumo {

namespace {

[[noreturn]] void refuse(ShareImportFailure::Case reason) { throw std::system_error(reason); }

// Controls, bidirectional formatting and both path separators would make a name unsafe to create or to show.
std::string safePiece(char32_t scalar) {
  if (Utf8::isControlOrBidiFormat(scalar) || scalar == '\\' || scalar == '/') return "_";
  return Utf8::encode(scalar);
}

std::string safeName(std::string_view component, std::size_t byteLimit) {
  std::string name;
  for (std::size_t offset = 0; offset < component.size();) {
    const std::string piece = safePiece(Utf8::next(component, offset));
    if (name.size() + piece.size() > byteLimit) break;
    name += piece;
  }
  return name;
}

std::string firstCharacters(std::string_view text, std::size_t count) {
  std::string prefix;
  std::size_t offset = 0;
  for (std::size_t taken = 0; taken < count && offset < text.size(); ++taken) {
    prefix += safePiece(Utf8::next(text, offset));
  }
  return prefix;
}

}  // namespace

std::string ShareImportRules::text(const Item& item) {
  if (const auto* string = std::get_if<std::string>(&item)) return *string;
  if (const auto* attributed = std::get_if<AttributedString>(&item)) return attributed->string;
  if (const auto* data = std::get_if<Data>(&item)) {
    const std::string_view bytes(reinterpret_cast<const char*>(data->data()), data->size());
    if (bytes.size() <= textDataLimit && Utf8::isValid(bytes)) return std::string(bytes);
  }
  refuse(ShareImportFailure::unsupported);
}

Url ShareImportRules::url(const Item& item, bool file) {
  std::optional<Url> url;
  if (const auto* given = std::get_if<Url>(&item)) {
    url = *given;
  } else {
    url = Url::parse(Utf8::trimmed(text(item)));
  }
  if (!url) refuse(ShareImportFailure::unsupported);
  const bool accepted = file ? url->isFileUrl() : isWebLink(*url);
  if (!accepted) refuse(ShareImportFailure::unsupported);
  return *url;
}

bool ShareImportRules::isWebLink(const Url& url) {
  return ::strcasecmp(url.scheme().c_str(), "http") == 0 || ::strcasecmp(url.scheme().c_str(), "https") == 0;
}

void ShareImportRules::check(const Amounts& amounts) {
  if (static_cast<std::int64_t>(Utf8::utf16Length(amounts.text)) > textLimit || amounts.files > fileCountLimit ||
      amounts.fileSize > fileLimit || amounts.total > totalLimit) {
    refuse(ShareImportFailure::tooLarge);
  }
}

std::string ShareImportRules::filename(const std::optional<std::string>& suggested, std::string_view fallback,
                                       std::int64_t index) {
  const std::string_view source = suggested && !suggested->empty() ? std::string_view(*suggested) : fallback;
  std::string name = safeName(PathComponents::lastComponent(source), nameByteLimit);
  if (name.empty() || name == "." || name == "..") name = "Attachment";
  const std::string fallbackExtension = PathComponents::extension(fallback);
  if (PathComponents::extension(name).empty() && !fallbackExtension.empty()) {
    name += "." + firstCharacters(fallbackExtension, extensionCharacterLimit);
  }
  return std::to_string(index + 1) + "-" + name;
}

}  // namespace plumo
