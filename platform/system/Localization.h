#pragma once

#include <filesystem>
#include <string>

namespace plumo {

// The extension's localized texts: the compiled gettext catalogs of the text domain
// "plumo-share" under <bundle>/locale, in the user's language (LANGUAGE, then the
// locale, whatever the locale), then English.
struct Localization {
  static constexpr const char* textDomain = "plumo-share";

  // Before the first text is looked up; again to follow a change of LANGUAGE.
  // With `language` (a language tag such as "de" or "pt-BR", as a browser names
  // the language it shows), that language alone, then English: not the user's.
  // A tag that is no language tag is ignored.
  static void setUp(const std::filesystem::path& bundle, const std::string& language = "");
  // The text for `key`; the English text built into the program when no catalog
  // can be read or has it; the key itself when neither has it.
  static std::string text(const std::string& key);
};

}  // namespace plumo
