#include "Url.h"

#include <strings.h>
#include <uriparser/Uri.h>

#include "PathComponents.h"

namespace plumo {

namespace {

std::string rangeText(const UriTextRangeA& range) {
  if (range.first == nullptr || range.afterLast == nullptr) return {};
  return {range.first, range.afterLast};
}

std::string percentDecoded(std::string segment) {
  const char* end = uriUnescapeInPlaceExA(segment.data(), URI_FALSE, URI_BR_DONT_TOUCH);
  segment.resize(static_cast<std::size_t>(end - segment.data()));
  return segment;
}

std::string decodedPath(const UriUriA& uri) {
  std::string path;
  const bool rooted = uri.absolutePath || uri.hostText.first != nullptr;
  bool first = true;
  for (const UriPathSegmentA* segment = uri.pathHead; segment != nullptr; segment = segment->next) {
    if (rooted || !first) path += '/';
    path += percentDecoded(rangeText(segment->text));
    first = false;
  }
  if (path.empty() && rooted) path = "/";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool isUnreserved(unsigned char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
         byte == '-' || byte == '.' || byte == '_' || byte == '~';
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  UriUriA uri;
  const char* errorPosition = nullptr;
  if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPosition) != URI_SUCCESS) {
    return std::nullopt;
  }
  Url url(std::string(text), rangeText(uri.scheme), percentDecoded(rangeText(uri.hostText)), decodedPath(uri));
  uriFreeUriMembersA(&uri);
  // A file's path ends at its first NUL: "file:///tmp/a%00b" would name /tmp/a.
  if (::strcasecmp(url.scheme_.c_str(), "file") == 0 && url.path_.find('\0') != std::string::npos) return std::nullopt;
  return url;
}

Url Url::fileUrl(const std::filesystem::path& absolutePath) {
  return *parse("file://" + percentEncoded(absolutePath.string(), "/"));
}

std::string Url::percentEncoded(std::string_view bytes, std::string_view kept) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text;
  for (const unsigned char byte : bytes) {
    if (isUnreserved(byte) || kept.find(static_cast<char>(byte)) != std::string_view::npos) {
      text += static_cast<char>(byte);
    } else {
      text += '%';
      text += hex[byte >> 4];
      text += hex[byte & 0xF];
    }
  }
  return text;
}

bool Url::isFileUrl() const {
  return ::strcasecmp(scheme_.c_str(), "file") == 0 && (host_.empty() || ::strcasecmp(host_.c_str(), "localhost") == 0);
}

std::string Url::lastPathComponent() const { return PathComponents::lastComponent(path_); }

}  // namespace plumo
