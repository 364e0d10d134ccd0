#include "Localization.h"

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <glib.h>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

namespace plumo {

namespace {

bool isPlainCLocale(const char* locale) {
  return std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0;
}

// The user's languages, as GLib reads them from the environment (LANGUAGE, then the
// locale's variables), most wanted first; English is built in.
std::vector<std::string> userLanguages() {
  std::vector<std::string> languages;
  for (const gchar* const* name = g_get_language_names(); *name != nullptr; ++name) {
    if (isPlainCLocale(*name) || std::strchr(*name, '.') != nullptr || std::strchr(*name, '@') != nullptr) continue;
    languages.emplace_back(*name);
  }
  return languages;
}

// Letters, then subtags of letters and digits: never a slash or a dot, as it names a folder.
bool isLanguageTag(std::string_view tag) {
  const auto letters = std::find_if_not(tag.begin(), tag.end(), [](char c) { return g_ascii_isalpha(c); });
  const auto isTagCharacter = [](char c) { return g_ascii_isalnum(c) || c == '-' || c == '_'; };
  return letters - tag.begin() >= 2 && letters - tag.begin() <= 8 && tag.size() <= 35 &&
         std::all_of(letters, tag.end(), isTagCharacter);
}

// A language tag's catalog names, most precise first ("pt-BR": pt_BR, pt); none for what is no tag.
std::vector<std::string> catalogNames(const std::string& tag) {
  if (!isLanguageTag(tag)) return {};
  std::string name = tag;
  std::replace(name.begin(), name.end(), '-', '_');
  std::vector<std::string> names{name};
  if (const auto separator = name.find('_'); separator != std::string::npos) names.push_back(name.substr(0, separator));
  return names;
}

// A compiled catalog is small: anything larger is not ours.
constexpr std::size_t catalogLimit = 1 << 20;

// Empty for a missing file, the usual case for most of the user's languages, and for
// one over the limit: neither costs more than a stat.
std::string readCatalog(const std::filesystem::path& path) {
  std::error_code missing;
  const auto size = std::filesystem::file_size(path, missing);
  if (missing || size > catalogLimit) return {};
  std::ifstream file(path, std::ios::binary);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

// The texts of a compiled gettext catalog (.mo), read by us rather than by gettext:
// glibc ignores the user's LANGUAGE under the C and C.UTF-8 locales, which
// would leave a user who chose a language that way, or a session without a
// generated locale, with English. Empty when the bytes are no such catalog.
std::map<std::string, std::string> compiledCatalogTexts(std::string_view bytes) {
  constexpr std::uint32_t magic = 0x950412de;
  const auto word = [&](std::size_t at, bool swapped) -> std::optional<std::uint32_t> {
    if (at > bytes.size() || bytes.size() - at < 4) return std::nullopt;
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return swapped ? __builtin_bswap32(value) : value;
  };
  const auto first = word(0, false);
  if (!first || (*first != magic && *first != __builtin_bswap32(magic))) return {};
  const bool swapped = *first != magic;
  const auto count = word(8, swapped);
  const auto originals = word(12, swapped);
  const auto translations = word(16, swapped);
  if (!count || !originals || !translations) return {};
  const auto string = [&](std::uint32_t table, std::uint32_t index) -> std::optional<std::string> {
    const auto length = word(table + std::size_t{8} * index, swapped);
    const auto offset = word(table + std::size_t{8} * index + 4, swapped);
    if (!length || !offset || *offset > bytes.size() || bytes.size() - *offset < *length) return std::nullopt;
    return std::string(bytes.substr(*offset, *length));
  };
  std::map<std::string, std::string> texts;
  for (std::uint32_t index = 0; index < *count; ++index) {
    auto key = string(*originals, index);
    auto value = string(*translations, index);
    if (!key || !value) return {};
    if (!key->empty()) texts.emplace(std::move(*key), std::move(*value));  // the empty key is the header
  }
  return texts;
}

std::map<std::string, std::string>& catalog() {
  static std::map<std::string, std::string> texts;
  return texts;
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
std::map<std::string, std::string> sourceCatalogTexts(std::string_view catalog) {
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
  static const std::map<std::string, std::string> texts = sourceCatalogTexts(
#include "EnglishCatalog.inc"
  );
  return texts;
}

}  // namespace

void Localization::setUp(const std::filesystem::path& bundle, const std::string& language) {
  std::setlocale(LC_ALL, "");
  catalog() = {};
  for (const std::string& name : language.empty() ? userLanguages() : catalogNames(language)) {
    const auto texts = compiledCatalogTexts(readCatalog(bundle / "locale" / name / "LC_MESSAGES" /
                                                        (std::string(textDomain) + ".mo")));
    if (!texts.empty()) {
      catalog() = texts;
      return;
    }
  }
}

std::string Localization::text(const std::string& key) {
  using Texts = const std::map<std::string, std::string>;
  for (Texts* texts : {static_cast<Texts*>(&catalog()), &builtInEnglish()}) {
    const auto found = texts->find(key);
    if (found != texts->end() && !found->second.empty()) return found->second;
  }
  return key;
}

}  // namespace plumo
