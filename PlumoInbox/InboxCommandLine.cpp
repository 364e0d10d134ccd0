#include "InboxCommandLine.h"

#include <map>

namespace plumo {

namespace {

using Command = InboxCommandLine::Command;

struct CommandForm {
  Command command;
  std::size_t operandCount;
};

const std::map<std::string, CommandForm>& commandForms() {
  static const std::map<std::string, CommandForm> forms = {
      {"list", {Command::list, 0}},   {"show", {Command::show, 1}},   {"take", {Command::take, 2}},
      {"remove", {Command::remove, 1}}, {"watch", {Command::watch, 0}}, {"open", {Command::open, 1}},
  };
  return forms;
}

}  // namespace

InboxCommandLine InboxCommandLine::parse(const std::vector<std::string>& arguments) {
  InboxCommandLine commandLine;
  std::optional<std::string> name;
  bool optionsEnded = false;
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (optionsEnded || !argument.starts_with("-") || argument == "-") {
      if (name) {
        commandLine.operands.push_back(argument);
      } else {
        name = argument;
      }
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--bundle") {
      if (index + 1 >= arguments.size()) throw UsageError("--bundle needs a value");
      commandLine.bundle = arguments[++index];
    } else if (argument == "--json" && name == "list") {
      commandLine.json = true;
    } else if (argument == "--help" || argument == "-h") {
      commandLine.help = true;
    } else if (argument == "--version") {
      commandLine.version = true;
    } else {
      throw UsageError("unknown option " + argument);
    }
  }
  if (commandLine.help || commandLine.version) return commandLine;
  if (!name) throw UsageError("no command given");
  const auto form = commandForms().find(*name);
  if (form == commandForms().end()) throw UsageError("unknown command '" + *name + "'");
  if (commandLine.operands.size() != form->second.operandCount) {
    throw UsageError(*name + " takes " + std::to_string(form->second.operandCount) + " argument" +
                     (form->second.operandCount == 1 ? "" : "s"));
  }
  commandLine.command = form->second.command;
  return commandLine;
}

}  // namespace plumo
