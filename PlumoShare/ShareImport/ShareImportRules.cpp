#include "ShareImportRules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <glib.h>
#include <idn2.h>
#include <memory>
#include <vector>

#include "PathComponents.h"
#include "Refusal.h"
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

constexpr const char* noHost = "the link names no host";
constexpr const char* badHostName = "its host name is not valid";
constexpr const char* badIpv4Address = "its host is not a valid IPv4 address";
constexpr const char* badPort = "its port is not a number from 0 to 65535";

[[noreturn]] void refuseLink(const char* reason) { throw Refusal(ShareImportFailure::unsupported, reason); }

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  for (char& character : lower) character = g_ascii_tolower(character);
  return lower;
}

// An address bar would drop these and join what they separate into one link; two links
// pasted as two lines must not become a third.
void refuseInnerBreaks(std::string_view text) {
  for (const std::string_view lineBreak : {"\t", "\n", "\v", "\f", "\r", "\u0085", "\u2028", "\u2029"}) {
    if (text.find(lineBreak) != std::string_view::npos) refuseLink("it holds a line break or a tab");
  }
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

// Every valid escape as its byte, a NUL included; a "%" that begins none stays.
std::string percentDecoded(std::string_view text) {
  std::string decoded;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (!isEscapeAt(text, at)) {
      decoded += text[at];
      continue;
    }
    decoded += static_cast<char>(g_ascii_xdigit_value(text[at + 1]) * 16 + g_ascii_xdigit_value(text[at + 2]));
    at += 2;
  }
  return decoded;
}

// "http" or "https" as written, in any case.
std::string_view webScheme(std::string_view text) {
  const std::size_t colon = text.find(':');
  const std::string scheme = lowerCase(text.substr(0, colon));
  if (colon == std::string_view::npos || (scheme != "http" && scheme != "https")) {
    refuseLink("only http and https links can be shared");
  }
  return text.substr(0, colon);
}

struct Authority {
  std::optional<std::string_view> userInfo;
  std::string_view host;
  std::optional<std::string_view> port;
};

// [user info "@"] host [":" port]: the last "@" ends the user info, a ":" outside brackets begins the port.
Authority authorityOf(std::string_view authority) {
  Authority parts;
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    parts.userInfo = authority.substr(0, at);
    authority.remove_prefix(at + 1);
  }
  bool inBrackets = false;
  std::size_t hostEnd = 0;
  for (; hostEnd < authority.size() && (authority[hostEnd] != ':' || inBrackets); ++hostEnd) {
    if (authority[hostEnd] == '[' || authority[hostEnd] == ']') inBrackets = authority[hostEnd] == '[';
  }
  parts.host = authority.substr(0, hostEnd);
  if (hostEnd < authority.size()) parts.port = authority.substr(hostEnd + 1);
  return parts;
}

// The number of a port; none for an empty one. Leading zeros are allowed, as browsers allow them.
std::optional<unsigned> portNumber(std::string_view port) {
  if (port.empty()) return std::nullopt;
  unsigned number = 0;
  for (const char digit : port) {
    if (!g_ascii_isdigit(digit)) refuseLink(badPort);
    number = number * 10 + static_cast<unsigned>(digit - '0');
    if (number > 65535) refuseLink(badPort);
  }
  return number;
}

// The address between the brackets as browsers write it: pieces in lower case, the first
// longest run of zero pieces as "::".
std::string ipv6Address(std::string_view host) {
  in6_addr address{};
  if (!host.ends_with(']') ||
      ::inet_pton(AF_INET6, std::string(host.substr(1, host.size() - 2)).c_str(), &address) != 1) {
    refuseLink("its host is not a valid IPv6 address");
  }
  std::array<unsigned, 8> pieces{};
  for (std::size_t index = 0; index < pieces.size(); ++index) {
    pieces[index] = address.s6_addr[2 * index] * 256u + address.s6_addr[2 * index + 1];
  }
  std::size_t zerosStart = pieces.size();
  std::size_t zerosLength = 1;
  for (std::size_t index = 0, run = 0; index < pieces.size(); ++index) {
    run = pieces[index] == 0 ? run + 1 : 0;
    if (run > zerosLength) {
      zerosLength = run;
      zerosStart = index + 1 - run;
    }
  }
  std::string text;
  for (std::size_t index = 0; index < pieces.size(); ++index) {
    if (index == zerosStart) {
      text += index == 0 ? "::" : ":";
      index += zerosLength - 1;
      continue;
    }
    char hex[4];
    text.append(hex, std::to_chars(hex, hex + sizeof hex, pieces[index], 16).ptr);
    if (index + 1 < pieces.size()) text += ':';
  }
  return "[" + text + "]";
}

// A browser reads a host whose last label is a number as an IPv4 address, whatever its other labels.
bool endsInANumber(std::string_view domain) {
  if (domain.ends_with('.')) domain.remove_suffix(1);
  const std::string_view last = domain.substr(domain.rfind('.') + 1);
  const std::string_view digits = last.starts_with("0x") ? last.substr(2) : last;
  const std::string_view allowed = last.starts_with("0x") ? "0123456789abcdef" : "0123456789";
  return !last.empty() && digits.find_first_not_of(allowed) == std::string_view::npos;
}

// One number of an IPv4 address: hexadecimal after "0x" (none at all is 0), octal after a
// leading "0", decimal otherwise.
std::uint64_t ipv4Number(std::string_view part) {
  if (part.empty()) refuseLink(badIpv4Address);
  int base = 10;
  if (part.starts_with("0x")) {
    base = 16;
    part.remove_prefix(2);
  } else if (part.size() > 1 && part.starts_with('0')) {
    base = 8;
    part.remove_prefix(1);
  }
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), number, base);
  if (!part.empty() && (error != std::errc() || end != part.data() + part.size())) refuseLink(badIpv4Address);
  return number;
}

// One to four numbers, the last filling the bytes the others leave, written as four decimal bytes.
std::string ipv4Address(std::string_view domain) {
  if (domain.ends_with('.')) domain.remove_suffix(1);
  std::vector<std::uint64_t> numbers;
  for (std::size_t start = 0, dot = 0; dot != std::string_view::npos; start = dot + 1) {
    dot = domain.find('.', start);
    numbers.push_back(ipv4Number(domain.substr(start, dot - start)));
  }
  const std::size_t leading = numbers.size() - 1;
  const bool tooLarge = std::any_of(numbers.begin(), numbers.end() - 1, [](auto number) { return number > 255; });
  if (numbers.size() > 4 || tooLarge || numbers.back() >= (std::uint64_t{1} << (8 * (4 - leading)))) {
    refuseLink(badIpv4Address);
  }
  std::uint64_t address = numbers.back();
  for (std::size_t index = 0; index < leading; ++index) address += numbers[index] << (8 * (3 - index));
  std::string text = std::to_string(address >> 24);
  for (const int shift : {16, 8, 0}) text += "." + std::to_string((address >> shift) & 255);
  return text;
}

// What a browser refuses in a domain: a NUL, a space, a delimiter of the link, a control, "%".
void refuseForbiddenHostCharacters(std::string_view domain) {
  const auto forbidden = [](unsigned char character) {
    return character < 0x20 || character == 0x7F ||
           std::string_view(" #%/:<>?@[\\]^|").find(static_cast<char>(character)) != std::string_view::npos;
  };
  if (std::any_of(domain.begin(), domain.end(), forbidden)) refuseLink(badHostName);
}

// Names in ASCII that hold no "xn--" label are only lower-cased; UTS #46 would change nothing else.
bool needsIdna(std::string_view domain) {
  const auto nonAscii = [](unsigned char character) { return character >= 0x80; };
  const std::string lower = lowerCase(domain);
  return std::any_of(domain.begin(), domain.end(), nonAscii) || lower.starts_with("xn--") ||
         lower.find(".xn--") != std::string::npos;
}

// UTS #46 non-transitional processing, as browsers apply it to a host name.
std::string idnaAscii(const std::string& domain) {
  uint8_t* converted = nullptr;
  const int status =
      idn2_lookup_u8(reinterpret_cast<const uint8_t*>(domain.c_str()), &converted, IDN2_NONTRANSITIONAL);
  const std::unique_ptr<uint8_t, decltype(&idn2_free)> owned(converted, &idn2_free);
  if (status != IDN2_OK) refuseLink(badHostName);
  return reinterpret_cast<const char*>(converted);
}

// The domain a browser reads in a host, in ASCII. The characters it forbids are looked for
// before conversion too: libidn2 would read a NUL as the end of the name.
std::string asciiDomain(std::string_view host) {
  const std::string domain = percentDecoded(host);
  if (!Utf8::isValid(domain)) refuseLink(badHostName);  // a browser reads U+FFFD there, which UTS #46 refuses
  refuseForbiddenHostCharacters(domain);
  const std::string ascii = needsIdna(domain) ? idnaAscii(domain) : lowerCase(domain);
  refuseForbiddenHostCharacters(ascii);  // what a character maps to: a fullwidth solidus is "/"
  if (ascii.empty()) refuseLink(noHost);
  return ascii;
}

// The host as browsers write it: an IPv6 address in brackets, an IPv4 address, or a domain in ASCII.
std::string browserHost(std::string_view host) {
  if (host.empty()) refuseLink(noHost);
  if (host.starts_with('[')) return ipv6Address(host);
  const std::string domain = asciiDomain(host);
  return endsInANumber(domain) ? ipv4Address(domain) : domain;
}

// user [":" password] "@", each encoded; browsers drop an empty password, and both when both are empty.
std::string browserUserInfo(std::optional<std::string_view> userInfo) {
  if (!userInfo) return "";
  const std::size_t colon = userInfo->find(':');
  const std::string user = strictPart(userInfo->substr(0, colon), userInfoKept);
  const std::string password =
      colon == std::string_view::npos ? "" : strictPart(userInfo->substr(colon + 1), userInfoKept);
  if (user.empty() && password.empty()) return "";
  return user + (password.empty() ? "" : ":" + password) + "@";
}

// ":port", or nothing for an empty port or the scheme's own.
std::string browserPort(std::string_view scheme, std::optional<std::string_view> port) {
  const auto number = port ? portNumber(*port) : std::nullopt;
  if (!number || *number == (scheme == "http" ? 80u : 443u)) return "";
  return ":" + std::to_string(*number);
}

// "." or ".." as browsers know them, where a dot may be written "%2e".
std::string dotsOf(std::string_view segment) {
  std::string dots = lowerCase(segment);
  for (std::size_t at = 0; (at = dots.find("%2e")) != std::string::npos;) dots.replace(at, 3, ".");
  return dots;
}

// The path as browsers resolve it: "\" separates segments as "/" does, "." and ".." go, and it
// is "/" at least. A final "." or ".." leaves a final "/".
std::string browserPath(std::string_view path) {
  if (path.starts_with('/') || path.starts_with('\\')) path.remove_prefix(1);
  std::vector<std::string_view> segments;
  for (std::size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
    end = path.find_first_of("/\\", start);
    const std::string_view segment = path.substr(start, end - start);
    const std::string dots = dotsOf(segment);
    const bool last = end == std::string_view::npos;
    if (dots == ".." && !segments.empty()) segments.pop_back();
    if (dots != "." && dots != "..") segments.push_back(segment);
    else if (last) segments.emplace_back();
  }
  std::string strict;
  for (const std::string_view segment : segments) strict += "/" + strictPart(segment, pathKept);
  return strict;
}

// path ["?" query] ["#" fragment]
std::string browserPathQueryAndFragment(std::string_view rest) {
  const std::size_t hash = rest.find('#');
  const std::string_view beforeFragment = rest.substr(0, hash);
  const std::size_t question = beforeFragment.find('?');
  std::string strict = browserPath(beforeFragment.substr(0, question));
  if (question != std::string_view::npos) strict += "?" + strictPart(beforeFragment.substr(question + 1), queryKept);
  if (hash != std::string_view::npos) strict += "#" + strictPart(rest.substr(hash + 1), queryKept);
  return strict;
}

// A link that is no valid URI, as a browser's URL parser reads it: slashes and backslashes
// before the host, however many, introduce it, and a backslash ends it as a slash does.
std::string browserForm(std::string_view text) {
  const std::string scheme = lowerCase(webScheme(text));
  std::string_view afterScheme = text.substr(scheme.size() + 1);
  afterScheme.remove_prefix(std::min(afterScheme.find_first_not_of("/\\"), afterScheme.size()));
  const std::size_t authorityEnd = std::min(afterScheme.find_first_of("/\\?#"), afterScheme.size());
  const Authority authority = authorityOf(afterScheme.substr(0, authorityEnd));
  return scheme + "://" + browserUserInfo(authority.userInfo) + browserHost(authority.host) +
         browserPort(scheme, authority.port) + browserPathQueryAndFragment(afterScheme.substr(authorityEnd));
}

// A valid URI is shared as it came; only what a browser would refuse in it is checked.
void checkValidLink(std::string_view text) {
  std::string_view afterScheme = text.substr(webScheme(text).size() + 1);
  if (!afterScheme.starts_with("//")) refuseLink(noHost);
  afterScheme.remove_prefix(2);
  const Authority authority = authorityOf(afterScheme.substr(0, afterScheme.find_first_of("/?#")));
  browserHost(authority.host);
  if (authority.port) portNumber(*authority.port);
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
  const auto* given = std::get_if<Url>(&item);
  if (!file) return link(given ? given->absoluteString() : text(item));
  const auto url = given ? std::optional<Url>(*given) : Url::parse(Utf8::trimmed(text(item)));
  if (!url || !url->isFileUrl()) refuse(ShareImportFailure::unsupported);
  return *url;
}

Url ShareImportRules::link(std::string_view pasted) {
  if (!Utf8::isValid(pasted)) refuseLink("it is not UTF-8 text");
  const std::string text = Utf8::trimmed(pasted);
  refuseInnerBreaks(text);
  if (const auto valid = Url::parse(text)) {
    checkValidLink(text);
    return *valid;
  }
  const auto url = Url::parse(browserForm(text));
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
