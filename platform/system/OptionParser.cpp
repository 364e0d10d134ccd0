#include "OptionParser.h"

#include <cstdio>

#include "ExitStatus.h"
#include "UsageError.h"

namespace plumo {

OptionParser& OptionParser::flag(const std::string& name, bool& set) {
  flags_[name] = &set;
  return *this;
}

OptionParser& OptionParser::value(const std::string& name, TakeValue take) {
  values_[name] = std::move(take);
  return *this;
}

std::vector<std::string> OptionParser::parse(const std::vector<std::string>& arguments) const {
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (optionsEnded || argument == "-" || !argument.starts_with("-")) {
      operands.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (const auto flag = flags_.find(argument); flag != flags_.end()) {
      *flag->second = true;
    } else if (const auto value = values_.find(argument); value != values_.end()) {
      if (index + 1 >= arguments.size()) throw UsageError(argument + " needs a value");
      value->second(arguments[++index]);
    } else {
      throw UsageError("unknown option " + argument);
    }
  }
  return operands;
}

int OptionParser::printed(const char* text) {
  const bool written = std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0;
  return written ? ExitStatus::success : ExitStatus::failure;
}

}  // namespace plumo
