#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace plumo {

// Our programs' options: a long option anywhere on the line, its value in the
// next argument; "-" and everything after "--" are operands.
class OptionParser {
 public:
  using TakeValue = std::function<void(const std::string& value)>;

  // An option that sets `set`; several names may set the same flag.
  OptionParser& flag(const std::string& name, bool& set);
  // An option whose value `take` receives.
  OptionParser& value(const std::string& name, TakeValue take);

  // The operands of arguments[1...], in order. Throws UsageError for an unknown
  // option or a value that is missing.
  std::vector<std::string> parse(const std::vector<std::string>& arguments) const;

  // Writes a help or version text to standard output; the exit status for it:
  // a failure where the text could not be written whole (a full disk, a closed pipe).
  static int printed(const char* text);

 private:
  std::map<std::string, bool*, std::less<>> flags_;
  std::map<std::string, TakeValue, std::less<>> values_;
};

}  // namespace plumo
