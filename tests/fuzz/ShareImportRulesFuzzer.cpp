// libFuzzer target over the rules that judge untrusted names, texts and links.
// Byte 0 picks the index; the rest is "suggested\0fallback" (no NUL: no suggestion).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ShareImportRules.h"
#include "Utf8.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// "<index + 1>-", then at most 180 bytes of safe name, then at most "." and 16 characters.
void checkName(const std::string& name, std::int64_t index) {
  const std::string prefix = std::to_string(index + 1) + "-";
  require(name.rfind(prefix, 0) == 0);
  const std::string rest = name.substr(prefix.size());
  require(!rest.empty() && rest != "." && rest != "..");
  require(rest.size() <= plumo::ShareImportRules::nameByteLimit + 1 + 4 * plumo::ShareImportRules::extensionCharacterLimit);
  require(plumo::Utf8::isValid(rest));
  require(plumo::Utf8::escaped(rest) == rest);  // no control or bidirectional formatting: shows as it is
  require(rest.find_first_of("/\\") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::int64_t index = data[0];
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

  const auto separator = input.find('\0');
  const std::optional<std::string> suggested =
      separator == std::string::npos ? std::nullopt : std::optional<std::string>(input.substr(0, separator));
  const std::string fallback = separator == std::string::npos ? input : input.substr(separator + 1);
  checkName(plumo::ShareImportRules::filename(suggested, fallback, index), index);

  const plumo::Data bytes(input.begin(), input.end());
  try {
    require(plumo::ShareImportRules::text(bytes) == input);
  } catch (const std::system_error&) {
    require(input.size() > plumo::ShareImportRules::textDataLimit || !plumo::Utf8::isValid(input));
  }
  for (const bool file : {false, true}) {
    try {
      const plumo::Url url = plumo::ShareImportRules::url(bytes, file);
      // A link's strict form is a URI that stays as it is when taken again.
      require(file ? url.isFileUrl() : plumo::ShareImportRules::link(url.absoluteString()) == url);
    } catch (const std::system_error&) {
    }
  }
  return 0;
}
