#include "ShareImportRules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <glib.h>

#include "GOwned.h"
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

// What a URI may hold unencoded beside the unreserved characters, by part.
constexpr std::string_view userInfoKept = "!$&'()*+,;=:";
constexpr std::string_view pathKept = "!$&'()*+,;=:@/";
constexpr std::string_view queryKept = "!$&'()*+,;=:@/?";  // and the fragment

[[noreturn]] void refuseLink(const char* reason) { throw ShareImportRules::LinkRefused(reason); }

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  for (char& character : lower) character = g_ascii_tolower(character);
  return lower;
}

// An address bar drops the tabs and line breaks a link was wrapped with.
std::string withoutBreaks(std::string_view text) {
  std::string kept;
  for (const char character : text) {
    if (character != '\t' && character != '\n' && character != '\r') kept += character;
  }
  return kept;
}

bool isEscapeAt(std::string_view text, std::size_t at) {
  return text[at] == '%' && at + 2 < text.size() && g_ascii_isxdigit(text[at + 1]) && g_ascii_isxdigit(text[at + 2]);
}

// The part with what it may not hold percent-encoded; its valid escapes stay as they are.
std::string strictPart(std::string_view part, std::string_view kept) {
  std::string strict;
  std::size_t plain = 0;
  for (std::size_t at = 0; at < part.size(); ++at) {
    if (!isEscapeAt(part, at)) continue;
    strict += Url::percentEncoded(part.substr(plain, at - plain), kept);
    strict += part.substr(at, 3);
    plain = at + 3;
    at += 2;
  }
  return strict + Url::percentEncoded(part.substr(plain), kept);
}

// A host name by IDNA, or an IPv6 address in brackets.
std::string strictHost(std::string_view host) {
  if (host.empty()) refuseLink("the link names no host");
  if (host.front() == '[') {
    const std::string address(host.substr(1, host.size() - 2));
    in6_addr parsed{};
    if (host.back() != ']' || ::inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
      refuseLink("its host is not a valid IPv6 address");
    }
    return lowerCase(host);
  }
  if (host.find('\0') != std::string_view::npos) refuseLink("its host name is not valid");
  const GOwned<gchar> ascii(g_hostname_to_ascii(std::string(host).c_str()));
  // Unreserved characters only: what IDNA lets pass in ASCII may still be no host name ("a b", "a|b").
  if (!ascii || Url::percentEncoded(ascii.get(), "") != ascii.get()) refuseLink("its host name is not valid");
  if (*ascii == '\0') refuseLink("the link names no host");
  return ascii.get();
}

// ":port", or nothing for an empty port.
std::string strictPort(std::string_view port) {
  unsigned number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (!port.empty() && (error != std::errc() || end != port.data() + port.size() || number > 65535)) {
    refuseLink("its port is not a number from 0 to 65535");
  }
  return port.empty() ? "" : ":" + std::string(port);
}

// [user info "@"] host [":" port]; the host ends at the last "@", an IPv6 address at its "]".
std::string strictAuthority(std::string_view authority) {
  const std::size_t at = authority.rfind('@');
  const bool hasUserInfo = at != std::string_view::npos;
  const std::string userInfo = hasUserInfo ? strictPart(authority.substr(0, at), userInfoKept) + "@" : "";
  const std::string_view hostAndPort = hasUserInfo ? authority.substr(at + 1) : authority;
  const std::size_t hostEnd = hostAndPort.starts_with('[')
                                  ? std::min(hostAndPort.find(']'), hostAndPort.size() - 1) + 1
                                  : std::min(hostAndPort.find(':'), hostAndPort.size());
  const std::string_view afterHost = hostAndPort.substr(hostEnd);
  if (!afterHost.empty() && afterHost.front() != ':') refuseLink("its host name is not valid");
  const std::string_view port = afterHost.empty() ? afterHost : afterHost.substr(1);
  return userInfo + strictHost(hostAndPort.substr(0, hostEnd)) + strictPort(port);
}

// path ["?" query] ["#" fragment]
std::string strictPathQueryAndFragment(std::string_view rest) {
  const std::size_t hash = rest.find('#');
  const std::string_view beforeFragment = rest.substr(0, hash);
  const std::size_t question = beforeFragment.find('?');
  std::string strict = strictPart(beforeFragment.substr(0, question), pathKept);
  if (question != std::string_view::npos) strict += "?" + strictPart(beforeFragment.substr(question + 1), queryKept);
  if (hash != std::string_view::npos) strict += "#" + strictPart(rest.substr(hash + 1), queryKept);
  return strict;
}

}  // namespace

ShareImportRules::LinkRefused::LinkRefused(std::string reason)
    : std::system_error(ShareImportFailure::unsupported), reason_(std::move(reason)) {}

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
  const auto* given = std::get_if<Url>(&item);
  if (!file) return link(given ? given->absoluteString() : text(item));
  const auto url = given ? std::optional<Url>(*given) : Url::parse(Utf8::trimmed(text(item)));
  if (!url || !url->isFileUrl()) refuse(ShareImportFailure::unsupported);
  return *url;
}

Url ShareImportRules::link(std::string_view pasted) {
  if (!Utf8::isValid(pasted)) refuseLink("it is not UTF-8 text");
  const std::string text = withoutBreaks(Utf8::trimmed(pasted));
  const std::size_t colon = text.find(':');
  const std::string scheme = lowerCase(std::string_view(text).substr(0, colon));
  if (colon == std::string::npos || (scheme != "http" && scheme != "https")) {
    refuseLink("only http and https links can be shared");
  }
  if (text.compare(colon + 1, 2, "//") != 0) refuseLink("the link names no host");
  const std::string_view afterScheme = std::string_view(text).substr(colon + 3);
  const std::size_t authorityEnd = std::min(afterScheme.find_first_of("/?#"), afterScheme.size());
  const std::string strict = scheme + "://" + strictAuthority(afterScheme.substr(0, authorityEnd)) +
                             strictPathQueryAndFragment(afterScheme.substr(authorityEnd));
  const auto url = Url::parse(strict);
  if (!url) refuseLink("it is not a valid link");
  return *url;
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
