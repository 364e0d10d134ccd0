#include "Localization.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <glib.h>
#include <libintl.h>

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

}  // namespace

void Localization::setUp(const std::filesystem::path& bundle) {
  std::setlocale(LC_ALL, "");
  // gettext ignores every catalog under the C locale.
  if (isPlainCLocale(std::setlocale(LC_MESSAGES, nullptr))) std::setlocale(LC_MESSAGES, "C.UTF-8");
  ::setenv("LANGUAGE", languagesEndingInEnglish().c_str(), 1);
  bindtextdomain(textDomain, (bundle / "locale").c_str());
  bind_textdomain_codeset(textDomain, "UTF-8");
}

std::string Localization::text(const std::string& key) { return g_dgettext(textDomain, key.c_str()); }

}  // namespace plumo
