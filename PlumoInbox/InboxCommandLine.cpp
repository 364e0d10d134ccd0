#include "InboxCommandLine.h"

#include <map>

#include "OptionParser.h"
#include "UsageError.h"

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
  auto operands = OptionParser()
                      .value("--bundle", [&](const std::string& bundle) { commandLine.bundle = bundle; })
                      .flag("--json", commandLine.json)
                      .flag("--help", commandLine.help)
                      .flag("-h", commandLine.help)
                      .flag("--version", commandLine.version)
                      .parse(arguments);
  if (commandLine.help || commandLine.version) return commandLine;
  if (operands.empty()) throw UsageError("no command given");
  const std::string name = operands.front();
  const auto form = commandForms().find(name);
  if (form == commandForms().end()) throw UsageError("unknown command '" + name + "'");
  if (commandLine.json && form->second.command != Command::list) throw UsageError("unknown option --json");
  commandLine.operands.assign(operands.begin() + 1, operands.end());
  if (commandLine.operands.size() != form->second.operandCount) {
    throw UsageError(name + " takes " + std::to_string(form->second.operandCount) + " argument" +
                     (form->second.operandCount == 1 ? "" : "s"));
  }
  commandLine.command = form->second.command;
  return commandLine;
}

}  // namespace plumo
