#include "Utf8.h"

#include <cstdio>

#include "GOwned.h"

namespace plumo {

namespace {

struct SequenceRule {
  unsigned char lowestSecond;
  unsigned char highestSecond;
  int continuationBytes;
  char32_t initialBits;
};

// RFC 3629's table: the lead byte fixes the length and the range of the second byte.
bool ruleFor(unsigned char lead, SequenceRule& rule) {
  if (lead >= 0xC2 && lead <= 0xDF) rule = {0x80, 0xBF, 1, lead & 0x1Fu};
  else if (lead == 0xE0) rule = {0xA0, 0xBF, 2, lead & 0x0Fu};
  else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) rule = {0x80, 0xBF, 2, lead & 0x0Fu};
  else if (lead == 0xED) rule = {0x80, 0x9F, 2, lead & 0x0Fu};
  else if (lead == 0xF0) rule = {0x90, 0xBF, 3, lead & 0x07u};
  else if (lead >= 0xF1 && lead <= 0xF3) rule = {0x80, 0xBF, 3, lead & 0x07u};
  else if (lead == 0xF4) rule = {0x80, 0x8F, 3, lead & 0x07u};
  else return false;
  return true;
}

// Decodes one well-formed sequence; false for a malformed one.
bool decode(std::string_view text, std::size_t offset, char32_t& scalar, std::size_t& length) {
  const auto lead = static_cast<unsigned char>(text[offset]);
  if (lead < 0x80) {
    scalar = lead;
    length = 1;
    return true;
  }
  SequenceRule rule{};
  if (!ruleFor(lead, rule) || offset + static_cast<std::size_t>(rule.continuationBytes) >= text.size()) return false;
  scalar = rule.initialBits;
  for (int index = 1; index <= rule.continuationBytes; ++index) {
    const auto byte = static_cast<unsigned char>(text[offset + static_cast<std::size_t>(index)]);
    const unsigned char lowest = index == 1 ? rule.lowestSecond : 0x80;
    const unsigned char highest = index == 1 ? rule.highestSecond : 0xBF;
    if (byte < lowest || byte > highest) return false;
    scalar = (scalar << 6) | (byte & 0x3Fu);
  }
  length = static_cast<std::size_t>(rule.continuationBytes) + 1;
  return true;
}

bool isTrimmable(char32_t scalar) {
  if (scalar <= 0x20 || (scalar >= 0x7F && scalar <= 0xA0)) return true;  // controls, space, NEL, NBSP
  switch (scalar) {
    case 0xAD: case 0x61C: case 0x1680: case 0x180E: case 0x2028: case 0x2029: case 0x202F:
    case 0x205F: case 0x3000: case 0xFEFF:
      return true;
    default:
      break;
  }
  return (scalar >= 0x600 && scalar <= 0x605) || (scalar >= 0x2000 && scalar <= 0x200F) ||
         (scalar >= 0x202A && scalar <= 0x202E) || (scalar >= 0x2060 && scalar <= 0x206F) ||
         (scalar >= 0xFFF9 && scalar <= 0xFFFB);
}

// A backslash, `kind` and `digits` lower-case hexadecimal digits.
std::string hexEscape(char kind, char32_t value, int digits) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\%c%0*x", kind, digits, static_cast<unsigned>(value));
  return escape;
}

GOwned<gchar> decomposed(std::string_view text) {
  return GOwned<gchar>(g_utf8_normalize(text.data(), static_cast<gssize>(text.size()), G_NORMALIZE_NFD));
}

}  // namespace

bool Utf8::isValid(std::string_view text) {
  char32_t scalar = 0;
  std::size_t length = 0;
  for (std::size_t offset = 0; offset < text.size(); offset += length) {
    if (!decode(text, offset, scalar, length)) return false;
  }
  return true;
}

char32_t Utf8::next(std::string_view text, std::size_t& offset) {
  char32_t scalar = 0;
  std::size_t length = 0;
  if (!decode(text, offset, scalar, length)) {
    offset += 1;
    return replacementCharacter;
  }
  offset += length;
  return scalar;
}

std::string Utf8::encode(char32_t scalar) {
  std::string bytes;
  if (scalar < 0x80) {
    bytes += static_cast<char>(scalar);
  } else if (scalar < 0x800) {
    bytes += static_cast<char>(0xC0 | (scalar >> 6));
    bytes += static_cast<char>(0x80 | (scalar & 0x3F));
  } else if (scalar < 0x10000) {
    bytes += static_cast<char>(0xE0 | (scalar >> 12));
    bytes += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
    bytes += static_cast<char>(0x80 | (scalar & 0x3F));
  } else {
    bytes += static_cast<char>(0xF0 | (scalar >> 18));
    bytes += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
    bytes += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
    bytes += static_cast<char>(0x80 | (scalar & 0x3F));
  }
  return bytes;
}

std::size_t Utf8::utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t offset = 0; offset < text.size();) units += next(text, offset) >= 0x10000 ? 2 : 1;
  return units;
}

std::string Utf8::trimmed(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool seenKept = false;
  for (std::size_t offset = 0; offset < text.size();) {
    const std::size_t start = offset;
    if (!isTrimmable(next(text, offset))) {
      if (!seenKept) begin = start;
      seenKept = true;
      end = offset;
    }
  }
  return seenKept ? std::string(text.substr(begin, end - begin)) : std::string();
}

bool Utf8::canonicallyEqual(std::string_view left, std::string_view right) {
  if (left == right) return true;
  const auto leftForm = decomposed(left);
  const auto rightForm = decomposed(right);
  return leftForm && rightForm && std::string_view(leftForm.get()) == std::string_view(rightForm.get());
}

bool Utf8::isControlOrBidiFormat(char32_t scalar) {
  return scalar < 0x20 || (scalar >= 0x7F && scalar <= 0x9F) || scalar == 0x61C || scalar == 0x200E ||
         scalar == 0x200F || (scalar >= 0x202A && scalar <= 0x202E) || (scalar >= 0x2066 && scalar <= 0x2069);
}

std::string Utf8::escaped(std::string_view text) {
  std::string shown;
  for (std::size_t offset = 0; offset < text.size();) {
    char32_t scalar = 0;
    std::size_t length = 0;
    if (!decode(text, offset, scalar, length)) {
      shown += hexEscape('x', static_cast<unsigned char>(text[offset]), 2);
      length = 1;
    } else if (isControlOrBidiFormat(scalar)) {
      shown += hexEscape('u', scalar, 4);
    } else {
      shown += text.substr(offset, length);
    }
    offset += length;
  }
  return shown;
}

}  // namespace plumo
