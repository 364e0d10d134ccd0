#include "Localization.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <glib.h>
#include <libintl.h>
#include <map>
#include <string_view>

namespace plumo {

namespace {

bool isPlainCLocale(const char* locale) {
  return locale == nullptr || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0;
}

// The user's languages, as GLib reads them from the environment, ending in English.
std::string languagesEndingInEnglish() {
  std::string languages;
  for (const gchar* const* name = g_get_language_names(); *name != nullptr; ++name) {
    if (isPlainCLocale(*name) || std::strchr(*name, '.') != nullptr || std::strchr(*name, '@') != nullptr) continue;
    languages += std::string(*name) + ":";
  }
  return languages + "en";
}

// The quoted text of a catalog line (`msgid "..."`, `msgstr "..."` or `"..."`), its C escapes resolved.
std::string quoted(std::string_view line) {
  std::string text;
  const auto open = line.find('"');
  const auto close = line.rfind('"');
  if (open == std::string_view::npos || close <= open) return text;
  for (auto at = open + 1; at < close; ++at) {
    char character = line[at];
    if (character == '\\' && at + 1 < close) {
      character = line[++at];
      if (character == 'n') character = '\n';
      if (character == 't') character = '\t';
    }
    text += character;
  }
  return text;
}

// The texts of a gettext catalog source (.po): each key with its text.
std::map<std::string, std::string> catalogTexts(std::string_view catalog) {
  std::map<std::string, std::string> texts;
  std::string key;
  std::string* continued = nullptr;
  while (!catalog.empty()) {
    const auto end = catalog.find('\n');
    const std::string_view line = catalog.substr(0, end);
    catalog.remove_prefix(end == std::string_view::npos ? catalog.size() : end + 1);
    if (line.starts_with("msgid ")) {
      key = quoted(line);
      continued = &key;
    } else if (line.starts_with("msgstr ")) {
      continued = &texts[key];
      *continued = quoted(line);
    } else if (line.starts_with('"') && continued != nullptr) {
      *continued += quoted(line);
    }
  }
  texts.erase("");  // the catalog's header
  return texts;
}

const std::map<std::string, std::string>& builtInEnglish() {
  static const std::map<std::string, std::string> texts = catalogTexts(
#include "EnglishCatalog.inc"
  );
  return texts;
}

}  // namespace

void Localization::setUp(const std::filesystem::path& bundle) {
  std::setlocale(LC_ALL, "");
  // gettext ignores every catalog under the C locale.
  if (isPlainCLocale(std::setlocale(LC_MESSAGES, nullptr))) std::setlocale(LC_MESSAGES, "C.UTF-8");
  ::setenv("LANGUAGE", languagesEndingInEnglish().c_str(), 1);
  bindtextdomain(textDomain, (bundle / "locale").c_str());
  bind_textdomain_codeset(textDomain, "UTF-8");
}

std::string Localization::text(const std::string& key) {
  const char* translated = g_dgettext(textDomain, key.c_str());
  // gettext gives back the key itself when no catalog has it.
  if (translated != key.c_str()) return translated;
  const auto english = builtInEnglish().find(key);
  return english != builtInEnglish().end() ? english->second : key;
}

}  // namespace plumo
