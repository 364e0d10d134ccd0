#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace plumo {

// Unicode text held as UTF-8 bytes.
struct Utf8 {
  static constexpr char32_t replacementCharacter = 0xFFFD;

  // True when every byte belongs to a well-formed sequence (no overlong forms, surrogates or values past U+10FFFF).
  static bool isValid(std::string_view text);
  // Decodes the scalar at `offset` and moves past it; a malformed byte reads as U+FFFD and is skipped alone.
  static char32_t next(std::string_view text, std::size_t& offset);
  static std::string encode(char32_t scalar);
  // The length in UTF-16 code units: two for a scalar outside the Basic Multilingual Plane.
  static std::size_t utf16Length(std::string_view text);
  // Removes white space, line breaks, control and format characters from both ends.
  static std::string trimmed(std::string_view text);
  // Equal as Unicode text under canonical equivalence (composed and decomposed forms alike).
  static bool canonicallyEqual(std::string_view left, std::string_view right);
  // A control character (C0, DEL, C1) or a bidirectional formatting character (marks,
  // embeddings, overrides, isolates): either can make text shown on a terminal lie
  // about what it holds, a new line that is none or "exe.txt" that reads "txt.exe".
  static bool isControlOrBidiFormat(char32_t scalar);
  // The text as it can be shown safely: each such character as \uXXXX (as JSON
  // writes it) and each byte that belongs to no UTF-8 sequence as \xHH.
  static std::string escaped(std::string_view text);
};

}  // namespace plumo
